// The bootloader's environment, whatever the bootloader: variables read,
// changed in memory and saved, each Save durable before it returns. The
// backends are U-Boot's environment through libubootenv (CUbootEnv), GRUB's
// environment block (CGrubEnv) and an integrator's command (CScriptEnv).
#pragma once

#include <memory>
#include <string>

struct SystemDescription;

class CBootEnv {
  public:
    virtual ~CBootEnv() = default;

    // Reads the environment; false with Problem().
    virtual bool Load() = 0;
    // The value of `name`; empty when it is not set (or with Problem() set
    // when it cannot be read).
    virtual std::string Get(const std::string& name) = 0;
    // Changes `name` in memory, for the next Save.
    virtual void Set(const std::string& name, const std::string& value) = 0;
    // Puts the changes on the medium; false with Problem().
    virtual bool Save() = 0;

    const std::string& Problem() const { return m_problem; }

    // The backend the description names.
    static std::unique_ptr<CBootEnv> For(const SystemDescription& system);

  protected:
    bool Fail(const std::string& problem) {
        if (m_problem.empty())
            m_problem = problem;
        return false;
    }

  private:
    std::string m_problem;
};
