// What the package commands (signing and checking) need from the program that runs
// them: pkgsign and pkgcheck run one each, fwkit runs them as subcommands. The
// caller says how its messages name it, what its help says, and which options it
// adds of its own; the command does the rest, the same for every caller.
#pragma once

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

namespace PackageCommand {

struct Caller {
    // Names the program in "PROGRAM: FILE: cause": "pkgsign", or "fwkit".
    const char* program;
    // Names it in usage errors, "COMMAND: message" and "Try 'COMMAND --help' ...":
    // "pkgsign", or "fwkit sign".
    const char* command;
    // What -h/--help prints.
    std::string help;
    // What -V/--version prints; empty when the caller takes neither.
    std::string version;
    // Options of the caller's own beside the command's: their letters (in the form of
    // getopt's option string), their long forms, and the function taking one, false
    // for an option it does not know. Their values are none of the command's own
    // (its letters, and its long-only options from 256 to 511).
    std::string letters;
    std::vector<option> longOptions;
    std::function<bool(int c)> take;
};

// Reads a command's options: its `letters` and `longOptions`, each taken by `take`
// (0, or the status of a usage error after its message), then -h/--help,
// -V/--version and the caller's own. 0 when read, -1 after --help or --version,
// 1 after a usage error. The operands start at optind.
int ReadOptions(int argc, char** argv, const Caller& caller, const std::string& letters,
                std::vector<option> longOptions, const std::function<int(int c)>& take);

// The path an output is opened at, for the operand of -o: "-" is standard
// output, like /dev/stdout, and the lines printed then go to standard error.
std::string OutputPath(const std::string& operand);

}  // namespace PackageCommand
