// U-Boot's environment through libubootenv: the copies (one, or two kept
// redundantly) that libubootenv's configuration file names, one line each
// ("device offset size"). libubootenv writes the copy that is not current and
// flags it current last, so a save cut short leaves the previous copy valid.
#pragma once

#include <string>

#include "CBootEnv.h"

struct uboot_ctx;

class CUbootEnv : public CBootEnv {
  public:
    explicit CUbootEnv(std::string config) : m_config(std::move(config)) {}
    ~CUbootEnv() override;

    bool Load() override;
    std::string Get(const std::string& name) override;
    void Set(const std::string& name, const std::string& value) override;
    bool Save() override;

  private:
    std::string m_config;
    uboot_ctx* m_context = nullptr;
    bool m_open = false;
};
