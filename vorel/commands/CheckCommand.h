// Checking an upgrade package: the command pkgcheck runs, and fwkit as its check
// subcommand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CPackageSource.h"
#include "CPackageStream.h"
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
    std::string base;     // the base image deltas are rebuilt from, or empty
    // The bill of materials the header names, given with --sbom (one package
    // only): read instead of PACKAGE.sbom, and so also for standard input.
    std::string sbom;
    std::string package;  // the one being checked
    std::vector<std::string> packages;
    // Set by the caller: several packages may be given, each checked in turn, and
    // --json prints one array of their documents. The exit status is the highest.
    bool several = false;
    bool quiet = false;  // no lines: the exit status is the verdict
    // Where the documents of the array are kept while the packages are checked.
    std::vector<std::string>* documents = nullptr;
    // fwkit's: a signature that no key was given for is said to be not checked
    // (kUnchecked), and with requireSignature such a package is refused (status 5).
    bool sayUnchecked = false;
    bool requireSignature = false;
    // The document of a verdict; null for pkgcheck's (PackageReportJson).
    std::string (*document)(const std::string& file, const CPackageStream::Result& result) =
        nullptr;
    // fwkit's: the source a package named by a URL is read from, in one pass
    // as a stream is; null for a file. Unset: every package is a file.
    std::function<std::unique_ptr<CPackageSource>(const std::string& package)> openSource;
};

// What fwkit says of a signature no key was given for: "signature " kUnchecked.
extern const char kUnchecked[];

// Pieces of the help, in pkgcheck's words: what checking does, the options of keys
// and policy, -j, -o with --base, --sbom, and the exit statuses.
extern const char kAbout[];
extern const char kPolicyHelp[];
extern const char kJsonHelp[];
extern const char kOutputHelp[];
extern const char kSbomHelp[];
extern const char kStatusHelp[];

// Reads the command line; 0 when read, -1 after --help or --version, 1 after a
// usage error.
int Parse(int argc, char** argv, const PackageCommand::Caller& caller, Options& options);

// Checks the packages and prints the verdicts; the exit status (the highest).
int Run(const Options& options);

}  // namespace CheckCommand
