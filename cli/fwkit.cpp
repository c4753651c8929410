// fwkit: one command for the whole toolkit. Each subcommand parses its own command
// line and calls the libraries the five programs use; help, version and unknown
// subcommands are handled here, once.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Command.h"
#include "PackageModule.h"
#include "Stdout.h"
#include "Subcommands.h"

namespace {

constexpr char kHelp[] = "help";

void PrintUsage() {
    std::printf("Usage: fwkit [--help] [--version] SUBCOMMAND [OPTIONS] [FILE...]\n"
                "Build, inspect and stamp firmware images and upgrade packages.\n\n");
    for (const Cli::Command& command : Cli::Commands())
        std::printf("  %-10s %s\n", command.name, command.summary);
    std::printf("  %-10s %s\n", kHelp, "show these subcommands, or the options of one");
    std::printf("\nRun 'fwkit SUBCOMMAND --help' for the options of each; see fwkit(1).\n");
}

// Prints "fwkit: MESSAGE" and the hint to --help on standard error; returns 1.
int UsageError(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", Cli::kProgram, message.c_str());
    std::fprintf(stderr, "Try 'fwkit --help' for more information.\n");
    return 1;
}

// The subcommand called `name`; null, after the message, when there is none.
const Cli::Command* Find(const char* name) {
    for (const Cli::Command& command : Cli::Commands())
        if (std::strcmp(command.name, name) == 0)
            return &command;
    UsageError(std::string("'") + name + "' is not a subcommand");
    return nullptr;
}

// Runs the subcommand on its own arguments (argv[0] is its name).
int RunCommand(const Cli::Command& command, int argc, char** argv) {
    optind = 0;  // the subcommand's getopt_long starts afresh
    if (command.inModule)
        return Cli::RunInModule(command, argc, argv);
    return command.run(argc, argv);
}

// "fwkit help [SUBCOMMAND]": the list of subcommands, or what "fwkit SUBCOMMAND
// --help" prints. `argv` holds what follows "help".
int Help(int argc, char** argv) {
    if (argc == 0) {
        PrintUsage();
        return 0;
    }
    if (argc > 1)
        return UsageError(std::string("help: one subcommand only; '") + argv[1] + "' is one too");
    const Cli::Command* command = Find(argv[0]);
    if (command == nullptr)
        return 1;
    std::string name = argv[0];
    std::string option = "--help";
    char* args[] = {&name[0], &option[0], nullptr};
    return RunCommand(*command, 2, args);
}

int Run(int argc, char** argv) {
    const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                            {"version", no_argument, nullptr, 'V'},
                            {nullptr, 0, nullptr, 0}};
    // '+': the first operand is the subcommand, and what follows it is its own.
    int c = 0;
    opterr = 0;
    while ((c = getopt_long(argc, argv, "+:hV", kLong, nullptr)) != -1) {
        switch (c) {
            case 'h':
                PrintUsage();
                return 0;
            case 'V':
                std::printf("fwkit %s\n", FWKIT_VERSION);
                return 0;
            default:
                return UsageError(std::string("unknown option: ") + argv[optind - 1]);
        }
    }
    if (optind >= argc) {
        PrintUsage();
        return 1;
    }
    const int first = optind;
    if (std::strcmp(argv[first], kHelp) == 0)
        return Help(argc - first - 1, argv + first + 1);
    const Cli::Command* command = Find(argv[first]);
    if (command == nullptr)
        return 1;
    return RunCommand(*command, argc - first, argv + first);
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout(Cli::kProgram, Run(argc, argv));
}
