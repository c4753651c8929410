#include "PackageModule.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Command.h"

namespace Cli {

namespace {

// The directory of the running fwkit, with its final '/'; empty when unknown.
std::string ExecutableDir() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path)
        return "";
    const std::string exe(path, static_cast<size_t>(length));
    return exe.substr(0, exe.rfind('/') + 1);
}

// Where the module may be, in the order tried: the variable's path alone when it is
// set; otherwise beside fwkit (a build tree), then fwkit's private library directory
// relative to it (an installation, wherever it was moved), then that directory at
// the installation prefix fwkit was built for.
std::vector<std::string> Candidates() {
    const char* named = std::getenv(kModuleVariable);
    if (named != nullptr && *named != '\0')
        return {named};
    std::vector<std::string> paths;
    const std::string dir = ExecutableDir();
    if (!dir.empty()) {
        paths.push_back(dir + kModuleFile);
        paths.push_back(dir + FWKIT_MODULE_FROM_BINDIR "/" + kModuleFile);
    }
    paths.push_back(std::string(FWKIT_MODULE_DIR "/") + kModuleFile);
    return paths;
}

// Loads the first candidate that exists (the last one when none does, for its
// reason); null after setting `reason`.
void* Load(std::string& reason) {
    const std::vector<std::string> paths = Candidates();
    for (size_t i = 0; i < paths.size(); ++i) {
        if (i + 1 < paths.size() && access(paths[i].c_str(), F_OK) != 0)
            continue;
        void* module = dlopen(paths[i].c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module != nullptr)
            return module;
        const char* error = dlerror();
        reason = error != nullptr ? error : paths[i] + ": cannot be loaded";
        return nullptr;
    }
    return nullptr;
}

}  // namespace

int RunInModule(const Command& command, int argc, char** argv) {
    std::string reason;
    void* module = Load(reason);
    ModuleEntry entry = nullptr;
    if (module != nullptr) {
        // POSIX has dlsym return a function as void*.
        entry = reinterpret_cast<ModuleEntry>(dlsym(module, kModuleEntry));
        if (entry == nullptr) {
            const char* error = dlerror();
            reason = error != nullptr ? error : std::string(kModuleEntry) + " is missing";
        }
    }
    if (entry == nullptr) {
        std::fprintf(stderr, "%s: %s: cannot load its module (%s)\n", kProgram, command.name,
                     reason.c_str());
        return 1;
    }
    // The module stays loaded until fwkit ends: its subcommand may leave output
    // buffered in standard output, flushed by fwkit's own exit.
    return entry(command.name, argc, argv);
}

}  // namespace Cli
