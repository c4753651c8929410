// fwkit sign, fwkit check and fwkit keygen: the commands of pkgsign and pkgcheck,
// run with fwkit's names, help and common options.
#include <cstdio>
#include <string>
#include <vector>

#include "CheckCommand.h"
#include "Command.h"
#include "FilePath.h"
#include "Json.h"
#include "NetOptions.h"
#include "PackageJson.h"
#include "Progress.h"
#include "SbomFiles.h"
#include "SignCommand.h"
#include "Subcommands.h"

namespace Cli {

namespace {

// Where the help of pkgsign and pkgcheck starts the descriptions of options.
constexpr size_t kColumn = 25;

const char kSignUsage[] =
    "Usage: fwkit sign -k KEY [-k KEY]... [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       fwkit sign --message-out MSG [--add] [POLICY] PACKAGE\n"
    "       fwkit sign --attach SIG --public PUB.pem [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       fwkit sign --public KEY\n";
const char kSignStatus[] =
    "\n"
    "Exit status: 0 signed (or message written, public key printed), 1 usage, a key or a\n"
    "file that cannot be read or written, or signatures --add cannot keep, 2 not a\n"
    "package, 3 the image does not match its header.\n";
const char kKeygenUsage[] =
    "Usage: fwkit keygen [OPTIONS] NAME|URI\n"
    "Make an Ed25519 key pair to sign with: NAME.pem (the private key, mode 0600) and\n"
    "NAME.pub, or a pair in the token of a PKCS#11 URI (pkcs11:token=TOKEN;object=LABEL),\n"
    "and print its key id. A key file is never overwritten.\n"
    "\n";
const char kKeygenStatus[] =
    "\n"
    "Exit status: 0 key made, 1 otherwise (usage, a key file that exists or cannot be\n"
    "written, a token that cannot be used).\n";
const char kSignJson[] = "  -j, --json             say what was made as one JSON document\n";
const char kCheckUsage[] =
    "Usage: fwkit check [-k PUBLIC.pem]... [--keyring FILE] [--threshold N] [POLICY]\n"
    "                   [NETWORK] [--json] [-o IMAGE] [--sbom FILE] PACKAGE|URL...\n";
const char kCheckJson[] =
    "  -j, --json             print one JSON array: the document of each package\n"
    "      --require-signature  refuse a package when no key is given to check its\n"
    "                         signature (status 5); without it, such a package is\n"
    "                         checked but its signature said to be not checked\n";
// fwkit check's option of its own, far from the values of the others.
constexpr int kRequireSignature = 0x1100;
const char kCheckSeveral[] =
    "Each PACKAGE is checked in turn; -o takes one PACKAGE, and IMAGE - is standard output.\n"
    "A URL (http:// or https://) is read from its server in one pass, as it arrives.\n"
    "\n";
const char kCheckNetwork[] = "\nNetwork options (NETWORK), for a URL:\n";
// The client key's option: --key names a public key here.
const char kCheckCertKey[] = "cert-key";
const char kCheckStatus[] = "With several packages, the status is the highest of theirs.\n";

// fwkit as the caller of a package command: its names, the subcommand's help, and the
// common options, taken into `common`; with `json`, also -j/--json, taken into it.
PackageCommand::Caller Caller(const char* command, const std::string& help, Common& common,
                              bool* json = nullptr) {
    std::vector<option> options = CommonOptions();
    if (json != nullptr)
        options.push_back({"json", no_argument, nullptr, kJson});
    const auto take = [&common, json](int c) {
        if (json != nullptr && (c == 'j' || c == kJson))
            return *json = true;
        return TakeCommon(c, common);
    };
    return {kProgram, command, help, "", json != nullptr ? "qj" : "q", options, take};
}

// Runs a sign or keygen that was read; with --json, says what was made as a document
// instead of its line. (--public KEY prints the key itself and makes nothing.)
int RunSign(SignCommand::Options& options, const Common& common, bool json) {
    SignCommand::Outcome made;
    options.quiet = common.quiet || json;
    options.outcome = &made;
    const int status = SignCommand::Run(options);
    if (status == 0 && json && !common.quiet && !(made.keyIds.empty() && made.output.empty()))
        std::fputs(SignJson(made).c_str(), stdout);
    return status;
}

// The size of a package file to be read, 0 for a stream or what is no file.
uint64_t SizeOf(const std::string& package) {
    const long long size = package == "-" ? 0 : Core::File::FileSize(package);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

// Standard output named "-" by -o, as the file the commands write; false after a
// message when it cannot be.
bool NameOutput(std::string& output) {
    if (output.empty())
        return true;
    output = OutputName(output);
    return !output.empty();
}

}  // namespace

int Sign(int argc, char** argv) {
    Common common;
    const std::string help = std::string(kSignUsage) + SignCommand::kAbout +
                             "OUT - is standard output.\n\n" + SignCommand::kSigningHelp + SbomFiles::kHelp +
                             SignCommand::kTokenHelp + kSignJson + CommonHelp(kColumn) +
                             kSignStatus;
    bool json = false;
    const PackageCommand::Caller caller = Caller("fwkit sign", help, common, &json);
    SignCommand::Options options;
    const int parsed = SignCommand::Parse(argc, argv, caller, SignCommand::Offer::Signing, options);
    if (parsed != 0)
        return parsed < 0 ? 0 : 1;
    if (options.package == "-")
        return UsageError("sign", "a package is read twice to be signed; give its file");
    if (json && options.output == "-")
        return UsageError("sign", "--json and --output - would both write standard output");
    if (!NameOutput(options.output))
        return 1;
    Progress progress(common.progress, "sign", SizeOf(options.package));
    return RunSign(options, common, json);
}

int Keygen(int argc, char** argv) {
    Common common;
    const std::string help = std::string(kKeygenUsage) + SignCommand::kTokenHelp + kSignJson +
                             CommonHelp(kColumn) + kKeygenStatus;
    bool json = false;
    const PackageCommand::Caller caller = Caller("fwkit keygen", help, common, &json);
    SignCommand::Options options;
    const int parsed = SignCommand::Parse(argc, argv, caller, SignCommand::Offer::Keygen, options);
    if (parsed != 0)
        return parsed < 0 ? 0 : 1;
    return RunSign(options, common, json);
}

int Check(int argc, char** argv) {
    Common common;
    const std::string help = std::string(kCheckUsage) + CheckCommand::kAbout + kCheckSeveral +
                             CheckCommand::kPolicyHelp + kCheckJson + CheckCommand::kOutputHelp +
                             CheckCommand::kSbomHelp +
                             CommonHelp(kColumn) + "\n" + CheckCommand::kStatusHelp + kCheckStatus;
    CheckCommand::Options options;
    PackageCommand::Caller caller =
        Caller("fwkit check", help + kCheckNetwork + NetHelp(kCheckCertKey, kColumn), common);
    caller.longOptions.push_back({"require-signature", no_argument, nullptr, kRequireSignature});
    for (const option& net : NetOptions(kCheckCertKey))
        caller.longOptions.push_back(net);
    CHttpSource::Options net;
    bool refused = false;
    const auto takeCommon = caller.take;
    caller.take = [takeCommon, &options, &net, &refused](int c) {
        if (c == kRequireSignature)
            return options.requireSignature = true;
        const int taken = TakeNet(c, optarg, net);
        refused = refused || taken < 0;
        return taken != 0 || takeCommon(c);
    };
    options.several = true;
    options.sayUnchecked = true;
    options.document = CheckJson;
    const int parsed = CheckCommand::Parse(argc, argv, caller, options);
    if (parsed != 0 || refused)
        return parsed < 0 ? 0 : 1;
    if (options.json && options.output == "-")
        return UsageError("check", "--json and --output - would both write standard output");
    options.openSource = [&net](const std::string& package) -> std::unique_ptr<CPackageSource> {
        return OpenUrl(package, net);
    };
    if (!NameOutput(options.output))
        return 1;
    options.quiet = common.quiet;
    uint64_t total = 0;
    for (const std::string& package : options.packages)
        total += SizeOf(package);
    Progress progress(common.progress, "check", total);
    return CheckCommand::Run(options);
}

}  // namespace Cli
