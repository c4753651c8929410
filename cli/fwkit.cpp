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

void PrintUsage() {
    std::printf("Usage: fwkit [--help] [--version] SUBCOMMAND [OPTIONS] [FILE...]\n"
                "Build, inspect and stamp firmware images and upgrade packages.\n\n");
    for (const Cli::Command& command : Cli::Commands())
        std::printf("  %-10s %s\n", command.name, command.summary);
    std::printf("\nRun 'fwkit SUBCOMMAND --help' for the options of each; see fwkit(1).\n");
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
                std::fprintf(stderr, "%s: unknown option: %s\n", Cli::kProgram, argv[optind - 1]);
                std::fprintf(stderr, "Try 'fwkit --help' for more information.\n");
                return 1;
        }
    }
    if (optind >= argc) {
        PrintUsage();
        return 1;
    }
    const char* name = argv[optind];
    for (const Cli::Command& command : Cli::Commands()) {
        if (std::strcmp(command.name, name) == 0) {
            const int first = optind;
            optind = 0;  // the subcommand's getopt_long starts afresh
            if (command.inModule)
                return Cli::RunInModule(command, argc - first, argv + first);
            return command.run(argc - first, argv + first);
        }
    }
    std::fprintf(stderr, "%s: '%s' is not a subcommand\n", Cli::kProgram, name);
    std::fprintf(stderr, "Try 'fwkit --help' for more information.\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout(Cli::kProgram, Run(argc, argv));
}
