// The entry point of the package module, the one symbol it exports: fwkit calls it to
// run a subcommand of the module, found by its name in the subcommand table.
#include <cstdio>
#include <cstring>

#include "Command.h"
#include "PackageModule.h"

extern "C" __attribute__((visibility("default"))) int fwkit_package_run(const char* subcommand,
                                                                        int argc, char** argv) {
    for (const Cli::Command& command : Cli::Commands()) {
        if (command.inModule && std::strcmp(command.name, subcommand) == 0)
            return command.run(argc, argv);
    }
    std::fprintf(stderr, "%s: '%s' is not a subcommand of the package module\n", Cli::kProgram,
                 subcommand);
    return 1;
}

// The entry point has the type fwkit calls it with.
[[maybe_unused]] constexpr Cli::ModuleEntry kEntry = &fwkit_package_run;
