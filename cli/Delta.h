// fwkit delta's options, read from its command line by ParseDelta.
#pragma once

#include <string>
#include <vector>

#include "CPackageEncoder.h"
#include "Command.h"
#include "KeyFiles.h"

namespace Cli {

struct DeltaOptions {
    std::string base;
    std::string output;
    std::string indexOut;
    std::vector<std::string> keys;
    KeyFiles::TokenAccess access;
    CPackageEncoder::Settings settings;
    std::string sbom;
    std::string sbomOut;
    std::string package;
    bool json = false;
};

// Reads fwkit delta's command line into `options`: 0 when read, -1 after the
// help, else the status of a usage error after its message.
int ParseDelta(int argc, char** argv, Common& common, DeltaOptions& options);

}  // namespace Cli
