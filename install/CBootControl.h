// The order and the try counters every backend keeps alike: BOOT_ORDER holds
// the boot names, space separated, the first tried first; BOOT_<name>_LEFT
// the tries that slot has left. The boot script tries each name in order
// whose counter is above 0, counting it down before it boots; a slot marked
// bad has 0 left and stands last. Each change is saved before it returns.
#pragma once

#include <string>
#include <vector>

#include "CBootEnv.h"

class CBootControl {
  public:
    static constexpr char kOrder[] = "BOOT_ORDER";

    // `names`: the boot names of the description; `tries`: a slot's tries when
    // it is made next or confirmed.
    CBootControl(CBootEnv& env, std::vector<std::string> names, unsigned tries)
        : m_env(env), m_names(std::move(names)), m_tries(tries) {}

    static std::string LeftVariable(const std::string& name) { return "BOOT_" + name + "_LEFT"; }

    // BOOT_ORDER's names that the description has, then those it leaves out.
    std::vector<std::string> Order();
    // The tries `name` has left; an unset or unreadable counter counts as full.
    unsigned TriesLeft(const std::string& name);
    // The slot the bootloader boots next: the first in order with tries left,
    // else (all are reset then) the first.
    std::string Next();

    // `name` gets no tries and goes last.
    bool MarkBad(const std::string& name);
    // `name` goes first, with `tries` tries.
    bool MakeNext(const std::string& name, unsigned tries);
    // `name` gets its tries back; the order stays.
    bool MarkGood(const std::string& name);

  private:
    void SetOrder(const std::vector<std::string>& order);

    CBootEnv& m_env;
    std::vector<std::string> m_names;
    unsigned m_tries;
};
