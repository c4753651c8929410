// The package module: a private shared module beside fwkit (in the build tree) or in
// fwkit's private library directory (installed), holding the subcommands that need
// the cryptography library. fwkit loads it only to run one of them, so that the
// other subcommands start without loading that library.
#pragma once

namespace Cli {

struct Command;

// The module's file name, and the name of its one entry point.
constexpr char kModuleFile[] = "fwkit-package.so";
constexpr char kModuleEntry[] = "fwkit_package_run";
// The environment variable that names the module's path instead.
constexpr char kModuleVariable[] = "FWKIT_PACKAGE_MODULE";

// The entry point: runs the module's subcommand `subcommand` with its command line
// (argv[0] is its name) and returns its exit status.
using ModuleEntry = int (*)(const char* subcommand, int argc, char** argv);

// Loads the module and runs `command` in it; prints "fwkit: NAME: cannot load its
// module (REASON)" and returns 1 when the module cannot be loaded.
int RunInModule(const Command& command, int argc, char** argv);

}  // namespace Cli
