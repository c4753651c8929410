// The environment of any other bootloader, through an integrator's command:
// "COMMAND get VAR" prints the value (nothing, or exit status 0 with no
// output, when unset), "COMMAND set VAR VALUE" sets it and returns once it is
// durable. Set is kept until Save, which calls the command once per variable
// changed, in the order they were changed.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "CBootEnv.h"

class CScriptEnv : public CBootEnv {
  public:
    explicit CScriptEnv(std::string command) : m_command(std::move(command)) {}

    bool Load() override { return true; }
    std::string Get(const std::string& name) override;
    void Set(const std::string& name, const std::string& value) override;
    bool Save() override;

  private:
    std::string m_command;
    std::vector<std::pair<std::string, std::string>> m_changed;
};
