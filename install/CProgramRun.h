// Runs an integrator's program (a hook, the script backend's command) and
// waits for it: its arguments as given, the caller's environment plus the
// variables named, its standard output captured when asked (at most 64 KiB),
// its standard error the caller's.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CProgramRun {
  public:
    static constexpr size_t kMaxOutput = 64u << 10;

    using Variables = std::vector<std::pair<std::string, std::string>>;

    // Runs `argv` (argv[0] a path, or a name looked up in PATH). True when it
    // ran and exited with status 0; otherwise Problem() says how it ended.
    bool Run(const std::vector<std::string>& argv, const Variables& variables = {},
             std::string* output = nullptr);
    const std::string& Problem() const { return m_problem; }

  private:
    bool Fail(const std::string& problem);
    bool Collect(int fd, std::string& output);
    bool Wait(int pid, const std::string& name);

    std::string m_problem;
};
