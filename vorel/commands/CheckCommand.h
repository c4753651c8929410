// Checking an upgrade package: the command pkgcheck runs, and fwkit as its check
// subcommand.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PackageCommand.h"

namespace CheckCommand {

struct Options {
    const char* program = "";  // as the caller names itself in messages
    const char* command = "";  // and in usage errors
    std::vector<std::string> keys;
    std::vector<std::string> keyrings;
    unsigned threshold = 1;
    bool thresholdGiven = false;
    std::string compatible;
    bool hasMinimum = false;
    uint32_t minimum = 0;
    bool hasTime = false;
    int64_t time = 0;
    bool json = false;
    std::string output;
    std::string package;
};

// Reads the command line; 0 when read, -1 after --help or --version, 1 after a
// usage error.
int Parse(int argc, char** argv, const PackageCommand::Caller& caller, Options& options);

// Checks the package and prints the verdict; the exit status.
int Run(const Options& options);

}  // namespace CheckCommand
