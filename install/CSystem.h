// The device as the system description tells it: its slots, its bootloader's
// environment, and which slot it booted from. Reports each slot's state and
// changes the boot order (mark-good, mark-bad, mark-active); the install
// sequence (CInstaller) works on it too.
//
// The booted slot is the boot name that "fwkit.slot=NAME" gives on the kernel
// command line (the description's cmdline file), else the boot name of the
// slot whose device the root file system is mounted from.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CBootControl.h"
#include "CBootEnv.h"
#include "CSlotRecord.h"
#include "CSystemDescription.h"
#include "InstallError.h"

class CSystem {
  public:
    struct SlotStatus {
        std::string name;  // "rootfs.A"
        std::string className;
        std::string bootName;
        std::string device;
        std::string state;  // "good", "bad" or "trying"
        unsigned triesLeft = 0;
        bool recorded = false;  // a record exists, `record` holds it
        SlotRecord record;
    };
    struct Status {
        std::string booted;
        std::string next;
        bool fallback = false;  // the first in order ran out of tries; another booted
        std::vector<std::string> order;
        std::vector<SlotStatus> slots;
    };

    // Reads the description at `config` and the bootloader's environment.
    InstallError Open(const std::string& config);
    const SystemDescription& Description() const { return m_description.Get(); }
    // Finds the booted slot's boot name (Booted()).
    InstallError FindBooted();
    const std::string& Booted() const { return m_booted; }

    CBootEnv& Env() { return *m_env; }
    CBootControl& Control() { return *m_control; }
    // The record of `slot` ("rootfs.A").
    CSlotRecord Record(const std::string& slot) const {
        return CSlotRecord(Description().state, slot);
    }
    // True when `name` is one of the description's boot names.
    bool IsBootName(const std::string& name) const;

    InstallError GetStatus(Status& status);
    // The status as the JSON document "fwkit status --json" prints.
    static std::string StatusJson(const Status& status);
    // The status as the lines "fwkit status" prints.
    static std::string StatusText(const Status& status);

    // The booted slot gets its tries back, and its records say it was confirmed.
    InstallError MarkGood();
    // `name` (the booted slot when empty) gets no tries and goes last.
    InstallError MarkBad(const std::string& name);
    // `name` goes first with the description's tries.
    InstallError MarkActive(const std::string& name);

    // What failed, as "FILE: reason".
    const std::string& Problem() const { return m_problem; }
    InstallError Fail(InstallError error, const std::string& problem);

  private:
    std::string BootedFromCmdline(bool& readable);
    std::string BootedFromRoot();
    SlotStatus StatusOf(const SlotDescription& entry);
    InstallError Saved(bool saved);

    CSystemDescription m_description;
    std::unique_ptr<CBootEnv> m_env;
    std::unique_ptr<CBootControl> m_control;
    std::string m_booted;
    std::string m_problem;
};
