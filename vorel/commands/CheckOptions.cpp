// The command line of checking: pkgcheck's options, what may stand beside
// what, and the pieces of the help that describe them.
#include <getopt.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "CPackageTrust.h"
#include "CheckCommand.h"
#include "Messages.h"
#include "Parse.h"

namespace CheckCommand {

const char kAbout[] =
    "Check an upgrade package: its header, its Ed25519 signatures and policy lines, then\n"
    "the image's size, md5 and sha256. With keys, signatures by N of them are required.\n"
    "PACKAGE - reads standard input; a pipe or a device is read once, as it arrives.\n";
const char kPolicyHelp[] =
    "  -k, --key=PUBLIC.pem   a public key the signatures may be made with (repeatable)\n"
    "      --keyring=FILE     public keys in one file of PEM keys one after the other\n"
    "      --threshold=N      signatures by N distinct keys given are required (default 1)\n"
    "      --compatible=NAME  refuse a package whose compatible line is not NAME\n"
    "      --min-version=V    refuse a version below V (MAJOR.MINOR.BUILD or packed)\n"
    "      --at=TIME          judge expiry at TIME (YYYY-MM-DDTHH:MM:SSZ), not now\n";
const char kJsonHelp[] = "  -j, --json             print one JSON document instead of the lines\n";
const char kOutputHelp[] =
    "  -o, --output=IMAGE     write the image to IMAGE when every check passed\n"
    "                         (from a stream, a device or stream IMAGE gets it as it\n"
    "                         passes: the exit status is then the verdict)\n"
    "      --base=OLD.img     the base image a delta package is rebuilt from; -o then\n"
    "                         gets the image rebuilt (so does a compressed package)\n";
const char kSbomHelp[] =
    "      --sbom=FILE        the bill of materials the header names (default:\n"
    "                         PACKAGE.sbom beside it; needed for standard input)\n";
const char kStatusHelp[] =
    "Exit status: 0 every check passed, 1 usage or a file that cannot be read or\n"
    "written, 2 not a package, 3 the image does not match, 4 a signature that is\n"
    "malformed, does not verify, or too few signatures by the keys given, 5 a key was\n"
    "given and the package is unsigned, 6 refused by policy, 7 a delta whose base was\n"
    "not given (--base) or is another than the one it was made against, 8 cut short:\n"
    "the package ended before its image did.\n";

namespace {

enum LongOnly { kKeyring = 256, kThreshold, kCompatible, kMinVersion, kAt, kBase, kSbom };

// An empty or blank value names nothing, and taking it would switch a check
// off (no board compared, no key required): a usage error naming the option.
int Named(const Options& options, const char* option, const std::string& value, const char* what) {
    if (CPackageTrust::NamesSomething(value))
        return 0;
    return Messages::ValueProblem(options.command, option,
                                  "'" + value + "' names no " + std::string(what));
}

// Takes one option; 0, or the status of a usage error.
int TakeOption(int c, Options& options) {
    const std::string value = optarg != nullptr ? optarg : "";
    std::string problem;
    uint64_t threshold = 0;
    switch (c) {
        case 'k':
            options.keys.push_back(value);
            return Named(options, "--key", value, "file");
        case 'j':
            options.json = true;
            break;
        case 'o':
            options.output = value;
            break;
        case kKeyring:
            options.keyrings.push_back(value);
            return Named(options, "--keyring", value, "file");
        case kBase:
            options.base = value;
            break;
        case kSbom:
            options.sbom = value;
            return Named(options, "--sbom", value, "file");
        case kThreshold:
            problem = Core::Parse::Unsigned(value, UINT32_MAX, threshold);
            if (problem.empty() && threshold == 0)
                problem = "'0': at least one signature is required";
            options.threshold = static_cast<unsigned>(threshold);
            options.thresholdGiven = true;
            return Messages::ValueProblem(options.command, "--threshold", problem);
        case kCompatible:
            options.compatible = value;
            return Named(options, "--compatible", value, "board");
        case kMinVersion:
            options.hasMinimum = true;
            problem = Core::Parse::PackageVersionOrNumber(value, options.minimum);
            return Messages::ValueProblem(options.command, "--min-version", problem);
        case kAt:
            options.hasTime = true;
            problem = Core::Parse::UtcTime(value, options.time);
            return Messages::ValueProblem(options.command, "--at", problem);
        default:
            return 1;
    }
    return 0;
}
}  // namespace

int Parse(int argc, char** argv, const PackageCommand::Caller& caller, Options& options) {
    options.program = caller.program;
    options.command = caller.command;
    const int read =
        PackageCommand::ReadOptions(argc, argv, caller, "k:jo:",
                                    {{"key", required_argument, nullptr, 'k'},
                                     {"keyring", required_argument, nullptr, kKeyring},
                                     {"threshold", required_argument, nullptr, kThreshold},
                                     {"compatible", required_argument, nullptr, kCompatible},
                                     {"min-version", required_argument, nullptr, kMinVersion},
                                     {"at", required_argument, nullptr, kAt},
                                     {"base", required_argument, nullptr, kBase},
                                     {"sbom", required_argument, nullptr, kSbom},
                                     {"json", no_argument, nullptr, 'j'},
                                     {"output", required_argument, nullptr, 'o'}},
                                    [&options](int c) { return TakeOption(c, options); });
    if (read != 0)
        return read;
    const int operands = argc - optind;
    if (!options.several && operands != 1)
        return Messages::UsageError(options.command, "give exactly one PACKAGE");
    if (operands == 0)
        return Messages::UsageError(options.command, "no package given");
    if (operands > 1 && !options.output.empty())
        return Messages::UsageError(options.command, "-o IMAGE takes exactly one PACKAGE");
    if (operands > 1 && !options.sbom.empty())
        return Messages::UsageError(options.command, "--sbom FILE takes exactly one PACKAGE");
    options.packages.assign(argv + optind, argv + argc);
    if (std::count(options.packages.begin(), options.packages.end(), "-") > 1)
        return Messages::UsageError(options.command, "standard input (-) can be read only once");
    options.package = options.packages.front();
    return 0;
}

}  // namespace CheckCommand
