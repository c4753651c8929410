// Checking an upgrade package before it is used: its header, its image against the
// header's filesize, md5 and sha256, its signatures against the public keys given (as
// many as the threshold asks), and the device's policy (compatible, minimum version,
// expiry); optionally the image written out when every check passed. A package that
// is "-" (standard input), a pipe, FIFO, socket or character device is read once, as
// it arrives, and checked the same way. An encoded package's image is rebuilt from
// its payload (a delta's against the base given, mapped read-only) and checked
// against its target lines; -o then writes the image rebuilt.
#include "CheckCommand.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CInputFile.h"
#include "CMappedFile.h"
#include "CPackageCheck.h"
#include "Core.h"
#include "FilePath.h"
#include "KeyFiles.h"
#include "Messages.h"
#include "Output.h"
#include "PackageReport.h"
#include "Parse.h"
#include "Stdout.h"
#include "Text.h"

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
const char kStatusHelp[] =
    "Exit status: 0 every check passed, 1 usage or a file that cannot be read or\n"
    "written, 2 not a package, 3 the image does not match, 4 a signature that is\n"
    "malformed, does not verify, or too few signatures by the keys given, 5 a key was\n"
    "given and the package is unsigned, 6 refused by policy, 7 a delta whose base was\n"
    "not given (--base) or is another than the one it was made against.\n";

namespace {

using State = CPackageCheck::SignatureState;

enum LongOnly { kKeyring = 256, kThreshold, kCompatible, kMinVersion, kAt, kBase };

// Takes one option; 0, or the status of a usage error.
int TakeOption(int c, Options& options) {
    const std::string value = optarg != nullptr ? optarg : "";
    std::string problem;
    uint64_t threshold = 0;
    switch (c) {
        case 'k':
            options.keys.push_back(value);
            break;
        case 'j':
            options.json = true;
            break;
        case 'o':
            options.output = value;
            break;
        case kKeyring:
            options.keyrings.push_back(value);
            break;
        case kBase:
            options.base = value;
            break;
        case kThreshold:
            problem = Core::Parse::Unsigned(value, UINT32_MAX, threshold);
            if (problem.empty() && threshold == 0)
                problem = "'0': at least one signature is required";
            options.threshold = static_cast<unsigned>(threshold);
            options.thresholdGiven = true;
            return Messages::ValueProblem(options.command, "--threshold", problem);
        case kCompatible:
            options.compatible = value;
            break;
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

int ExitStatus(PackageError error) {
    return PackageErrorStatus(error);
}

std::string SignatureLine(const CPackageCheck::Result& result) {
    const std::string key = result.trust.keyId.empty() ? "" : ", key " + result.trust.keyId;
    const unsigned signers = static_cast<unsigned>(result.trust.signers.size());
    if (result.trust.signature == State::Verified && signers > 1)
        return "signature verified by " + std::to_string(result.trust.verifiedKeys) +
               " of the keys given (" + std::to_string(result.trust.threshold) + " needed)" + key;
    switch (result.trust.signature) {
        case State::Absent:
            return "signature absent";
        case State::Unsigned:
            return "signature FAILED: the package is not signed";
        case State::Unverified:
            return "signature unverified (no key given)" + key;
        case State::Verified:
            return "signature verified" + key;
        case State::Bad:
            return result.trust.keyId.empty() ? "signature FAILED: malformed"
                                              : "signature FAILED: does not verify" + key;
        case State::UnknownKey:
            return "signature FAILED: made by none of the keys given" + key;
        case State::TooFew:
            return "signature FAILED: valid signatures by " +
                   std::to_string(result.trust.verifiedKeys) + " of the keys given, " +
                   std::to_string(result.trust.threshold) + " needed";
    }
    return "signature FAILED";
}

// Whether the policy has anything to say: a policy was asked for, or the
// header has a policy line of its own.
bool PolicyShown(const Options& options, const CPackageCheck::Result& result) {
    if (!result.trust.policyJudged)
        return false;
    bool lines = false;
    for (const auto& line : result.headers)
        lines = lines || line.first == "compatible" || line.first == "expires";
    return lines || !options.compatible.empty() || options.hasMinimum ||
           !result.trust.policyReason.empty();
}

void PrintLines(const Options& options, const CPackageCheck::Result& result) {
    const std::string shown = Core::Text::Escaped(options.package) + ": ";
    if (result.error == PackageError::NotAPackage) {
        std::printf("%sheader FAILED: %s\n", shown.c_str(), result.problem.c_str());
    } else {
        std::printf("%sheader ok, %zu lines\n", shown.c_str(), result.headers.size());
        if (result.trust.hasVersion)
            std::printf("%sversion: %u (%s)\n", shown.c_str(), result.trust.version,
                        Core::Version::Text(result.trust.version).c_str());
        for (const CPackageCheck::Item& item : result.checks) {
            const std::string text = item.ok ? item.name + " ok: " + item.computed
                                             : item.name + " FAILED: stored " +
                                                   (item.stored.empty() ? "nothing" : item.stored) +
                                                   ", computed " + item.computed;
            std::printf("%s%s\n", shown.c_str(), text.c_str());
        }
        std::printf("%s%s\n", shown.c_str(), SignatureLine(result).c_str());
        if (PolicyShown(options, result))
            std::printf("%spolicy %s\n", shown.c_str(),
                        result.trust.policyReason.empty()
                            ? "ok"
                            : ("FAILED: " + result.trust.policyReason).c_str());
    }
    if (result.error == PackageError::Ok)
        std::printf("%sOK\n", shown.c_str());
    else if (result.error == PackageError::NotAPackage || result.problem.empty())
        std::printf("%sFAILED: %s\n", shown.c_str(), PackageErrorText(result.error));
    else  // why a delta's base was refused, or why its payload did not decode
        std::printf("%sFAILED: %s: %s\n", shown.c_str(), PackageErrorText(result.error),
                    result.problem.c_str());
}

// Prints a JSON document, or keeps it for the array of them all.
void Emit(const Options& options, const std::string& document) {
    if (options.documents != nullptr)
        options.documents->push_back(document + "\n");
    else
        std::printf("%s\n", document.c_str());
}

// The verdict: a JSON document, or the lines unless quiet.
void Print(const Options& options, const CPackageCheck::Result& result) {
    if (options.json)
        Emit(options, PackageReportJson(options.package, result));
    else if (!options.quiet)
        PrintLines(options, result);
}

// Reports a failure of status 1 on standard error and, with -j, in a document
// on standard output, so that a script reading the document learns of it too.
int Fail(const Options& options, const std::string& file, const std::string& cause) {
    Messages::Complain(options.program, file, cause);
    if (options.json)
        Emit(options, PackageFailureJson(file, cause));
    return 1;
}

// Opens the image output, which may be none of the inputs.
bool OpenOutput(const Options& options, Core::File::Output& output) {
    output.Protect(options.package, "the package");
    for (const std::string& key : options.keys)
        output.Protect(key, "the key");
    for (const std::string& keyring : options.keyrings)
        output.Protect(keyring, "the keyring");
    if (!options.base.empty())
        output.Protect(options.base, "the base");
    return output.Open();
}

// Checks the package file, writing the image to the output when every check
// passed; 0, or the status of a failure after its message.
int CheckAndWrite(CPackageCheck& check, CInputFile& buffer, const Options& options,
                  Core::File::Output& output, CPackageCheck::Result& result) {
    result = check.Run(buffer, output);
    if (result.error == PackageError::Changed)
        return Fail(options, options.package, PackageErrorText(result.error));
    if (result.error == PackageError::WriteFailed)
        return Fail(options, options.output, output.Cause());
    return 0;
}

// True when the package is read as a stream, once, front to back: "-"
// (standard input), a pipe, FIFO, socket or character device.
bool IsStream(const std::string& path) {
    struct stat st {};
    return path == "-" || (stat(path.c_str(), &st) == 0 &&
                           (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode)));
}

// The descriptor a stream package is read from; `own` when it is to be
// closed. Standard input and the descriptors named by path are read as they
// are (a socket cannot be opened by name). -1 with errno on failure.
int OpenStream(const std::string& path, bool& own) {
    own = false;
    if (path == "-" || path == "/dev/stdin")
        return STDIN_FILENO;
    const int fd = Core::File::DescriptorOf(path);
    if (fd >= 0)
        return fcntl(fd, F_GETFL) == -1 ? -1 : fd;
    own = true;
    return open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
}

// Reads the stream to its end, or until the checker has refused the package
// (the rest is then never read). False with `cause` when a read failed.
bool ReadStream(CPackageStream& stream, int fd, std::string& cause) {
    for (;;) {
        size_t room = 0;
        uint8_t* space = stream.Space(room);
        if (space == nullptr)
            return true;
        const ssize_t got = Core::File::ReadSome(fd, space, room);
        if (got < 0) {
            cause = std::strerror(errno);
            return false;
        }
        if (got == 0 || stream.Commit(static_cast<size_t>(got)) != PackageError::Ok)
            return true;
    }
}

// Checks a package read from a stream, in one pass. The image goes to the
// output as it passes: a regular file is put in place only when every check
// passed, a device or a stream has then received it already, and the exit
// status is the verdict.
int CheckStream(CPackageStream& stream, const Options& options, CPackageCheck::Result& result) {
    Core::File::Output output(options.output.empty() ? std::string()
                                                     : Core::SeparateFromMessages(options.output));
    if (!options.output.empty() && !OpenOutput(options, output))
        return Fail(options, options.output, output.Cause());
    stream.Reset();
    if (!options.output.empty())
        CPackageCheck::WriteInto(stream, output);
    bool own = false;
    const int fd = OpenStream(options.package, own);
    if (fd < 0)
        return Fail(options, options.package, std::strerror(errno));
    std::string cause;
    const bool read = ReadStream(stream, fd, cause);
    if (own)
        close(fd);
    if (!read)
        return Fail(options, options.package, cause);
    result = stream.Finish();
    const PackageError written =
        options.output.empty() ? result.error : CPackageCheck::Conclude(output, result.error);
    if (written == PackageError::WriteFailed)
        return Fail(options, options.output, output.Cause());
    return 0;
}

// Gives the trust the keys and the policy; 0, or the status of a failure.
int Configure(const Options& options, CPackageTrust& trust) {
    std::string cause;
    std::vector<CEd25519Key> keys;
    for (const std::string& path : options.keys) {
        CEd25519Key key;
        if (!KeyFiles::LoadKey(path, false, key, cause))
            return Fail(options, path, cause);
        keys.push_back(key);
    }
    for (const std::string& path : options.keyrings) {
        std::vector<CEd25519Key> ring;
        if (!KeyFiles::LoadKeyring(path, ring, cause))
            return Fail(options, path, cause);
        keys.insert(keys.end(), ring.begin(), ring.end());
    }
    for (const CEd25519Key& key : keys)
        trust.AddKey(key);
    if (options.threshold > trust.KeyCount() && (options.thresholdGiven || trust.HasKeys()))
        return Messages::UsageError(options.command,
                                    "--threshold " + std::to_string(options.threshold) +
                                        " needs as many distinct keys; " +
                                        std::to_string(trust.KeyCount()) + " given");
    trust.SetThreshold(options.threshold);
    if (!options.compatible.empty())
        trust.SetCompatible(options.compatible);
    if (options.hasMinimum)
        trust.SetMinimumVersion(options.minimum);
    if (options.hasTime)
        trust.SetTime(options.time);
    return 0;
}

// Checks the package of `options` with the keys and policy of `trust`, and the
// base `base` (unmapped when none is given).
int CheckOne(const Options& options, const CPackageTrust& trust, const CMappedFile& base) {
    CPackageCheck check;
    check.Trust() = trust;
    if (!options.base.empty())
        check.SetBase(base.Data(), base.Size());
    if (IsStream(options.package)) {
        CPackageCheck::Result result;
        if (CheckStream(check.Stream(), options, result) != 0)
            return 1;
        Print(options, result);
        return ExitStatus(result.error);
    }
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Fail(options, options.package, cause);
    CInputFile buffer(options.package);
    CPackageCheck::Result result;
    if (options.output.empty()) {
        result = check.Run(buffer);
        if (buffer.Changed() || !buffer.EndsAtSize())
            return Fail(options, options.package, PackageErrorText(PackageError::Changed));
    } else {
        Core::File::Output output(Core::SeparateFromMessages(options.output));
        if (!OpenOutput(options, output))
            return Fail(options, options.output, output.Cause());
        if (CheckAndWrite(check, buffer, options, output, result) != 0)
            return 1;
    }
    if (result.error == PackageError::ReadFailed || result.error == PackageError::TooLarge)
        return Fail(options, options.package, PackageErrorText(result.error));
    Print(options, result);
    return ExitStatus(result.error);
}

}  // namespace

int Run(const Options& given) {
    Options options = given;
    std::vector<std::string> documents;
    const bool array = options.json && options.several;
    if (array)
        options.documents = &documents;
    CPackageTrust trust;
    // Keys that cannot be read, or a threshold they cannot meet, judge no package.
    int worst = Configure(options, trust);
    CMappedFile base;
    if (worst == 0 && !options.base.empty() && !base.Open(options.base))
        worst = Fail(options, options.base, base.Problem());
    const bool configured = worst == 0;
    for (size_t i = 0; configured && i < options.packages.size(); ++i) {
        options.package = options.packages[i];
        worst = std::max(worst, CheckOne(options, trust, base));
    }
    if (array && !options.quiet)
        std::fputs(Core::Text::JsonArray(documents).c_str(), stdout);
    return worst;
}

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
    options.packages.assign(argv + optind, argv + argc);
    if (std::count(options.packages.begin(), options.packages.end(), "-") > 1)
        return Messages::UsageError(options.command, "standard input (-) can be read only once");
    options.package = options.packages.front();
    return 0;
}

}  // namespace CheckCommand
