#include "CProgramRun.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char** environ;

namespace {

// The caller's environment, with `variables` set (replacing any of the same name).
std::vector<std::string> Environment(const CProgramRun::Variables& variables) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const auto& variable : variables)
            replaced = replaced || std::strncmp(*entry, (variable.first + "=").c_str(),
                                                variable.first.size() + 1) == 0;
        if (!replaced)
            entries.emplace_back(*entry);
    }
    for (const auto& variable : variables)
        entries.push_back(variable.first + "=" + variable.second);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

bool CProgramRun::Fail(const std::string& problem) {
    m_problem = problem;
    return false;
}

bool CProgramRun::Run(const std::vector<std::string>& argv, const Variables& variables,
                      std::string* output) {
    m_problem.clear();
    if (argv.empty())
        return Fail("no program to run");
    std::vector<std::string> arguments = argv;
    std::vector<std::string> environment = Environment(variables);
    std::vector<char*> args = Pointers(arguments);
    std::vector<char*> env = Pointers(environment);
    int pipeFds[2] = {-1, -1};
    if (output != nullptr && pipe2(pipeFds, O_CLOEXEC) != 0)
        return Fail(argv[0] + ": " + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr)
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr)
        close(pipeFds[1]);
    if (spawned != 0) {
        if (output != nullptr)
            close(pipeFds[0]);
        return Fail(argv[0] + ": " + std::strerror(spawned));
    }
    const bool collected = output == nullptr || Collect(pipeFds[0], *output);
    return Wait(pid, argv[0]) && (collected || Fail(argv[0] + ": printed more than 64 KiB"));
}

bool CProgramRun::Collect(int fd, std::string& output) {
    output.clear();
    char chunk[4096];
    bool fits = true;
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (output.size() + static_cast<size_t>(got) > kMaxOutput)
            fits = false;  // read on, so that the program is not stopped by a full pipe
        else
            output.append(chunk, static_cast<size_t>(got));
    }
    close(fd);
    return fits;
}

bool CProgramRun::Wait(int pid, const std::string& name) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return Fail(name + ": " + std::strerror(errno));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return Fail(name + ": cannot be run (exit status 127)");
    if (WIFEXITED(status))
        return Fail(name + ": exit status " + std::to_string(WEXITSTATUS(status)));
    return Fail(name + ": killed by signal " + std::to_string(WTERMSIG(status)));
}
