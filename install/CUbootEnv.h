// U-Boot's environment through libubootenv: the copies (one, or two kept
// redundantly) that libubootenv's configuration file names, one line each
// ("device offset size"). libubootenv writes the copy that is not current and
// flags it current last, so a save cut short leaves the previous copy valid.
// libubootenv locks the environment while it is open, so it is opened only
// for the moment of Load and of Save: fw_setenv may run in between, and Save
// writes only the variables Set changed onto the environment as it then is.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CBootEnv.h"

struct uboot_ctx;

class CUbootEnv : public CBootEnv {
  public:
    explicit CUbootEnv(std::string config) : m_config(std::move(config)) {}

    bool Load() override;
    std::string Get(const std::string& name) override;
    void Set(const std::string& name, const std::string& value) override;
    bool Save() override;

  private:
    // Opens the environment; null after Fail.
    uboot_ctx* Open();
    static void Close(uboot_ctx* context);

    std::string m_config;
    bool m_loaded = false;
    std::map<std::string, std::string> m_variables;
    std::vector<std::pair<std::string, std::string>> m_changed;
};
