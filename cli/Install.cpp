// fwkit install, status, mark-good, mark-bad and mark-active: the installer of
// the library (install/) on the device's system description.
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "CInstaller.h"
#include "CPackageAttachment.h"
#include "CSystem.h"
#include "Command.h"
#include "NetOptions.h"
#include "Progress.h"
#include "Subcommands.h"

namespace Cli {

namespace {

const char kInstallUsage[] =
    "Usage: fwkit install [--config FILE] [--allow-downgrade] [--tries N] [--sbom FILE]\n"
    "                     [NETWORK] [--json] PACKAGE|URL\n"
    "Install the package PACKAGE (- for standard input) into the slot that is not running:\n"
    "judged against the description's keyring, threshold and compatible, written, synced,\n"
    "read back and recorded before the bootloader is told to try that slot next. A URL\n"
    "(http:// or https://) is read from its server as it is written, never stored whole;\n"
    "a transfer cut by the network resumes where it stopped.\n"
    "\n"
    "  -c, --config=FILE       the system description (default /etc/fwkit/system.conf)\n"
    "      --allow-downgrade   accept a version below the booted slot's\n"
    "  -t, --tries=N           the new slot's tries (default: the description's)\n"
    "      --sbom=FILE         the bill of materials the header names (default:\n"
    "                          PACKAGE.sbom beside it; needed for standard input)\n"
    "  -j, --json              say what was installed as one JSON document\n"
    "\n"
    "Network options (NETWORK), for a URL:\n";
// The client key's option.
const char kInstallCertKey[] = "key";
const char kStatusUsage[] =
    "Usage: fwkit status [--config FILE] [--json]\n"
    "       fwkit status [--config FILE] --sbom [SLOT]\n"
    "Show each slot's state (good, bad, trying), its tries left, its installed version and\n"
    "SHA-256, which slot is booted, which boots next, and whether this boot is a fallback.\n"
    "With --sbom, print the bill of materials recorded for the slot booted as SLOT\n"
    "(default: the booted slot) instead.\n"
    "\n"
    "  -c, --config=FILE       the system description (default /etc/fwkit/system.conf)\n"
    "  -j, --json              one JSON document (schema fwkit-status/1)\n"
    "      --sbom              print the slot's bill of materials, as its package carried it\n";
const char kMarkGoodUsage[] =
    "Usage: fwkit mark-good [--config FILE]\n"
    "Confirm the booted slot after a good boot: its tries are reset, the order is kept.\n"
    "\n"
    "  -c, --config=FILE       the system description (default /etc/fwkit/system.conf)\n";
const char kMarkBadUsage[] =
    "Usage: fwkit mark-bad [--config FILE] [SLOT]\n"
    "Mark the slot booted as SLOT (default: the booted slot) bad: no tries, last in order.\n"
    "\n"
    "  -c, --config=FILE       the system description (default /etc/fwkit/system.conf)\n";
const char kMarkActiveUsage[] =
    "Usage: fwkit mark-active [--config FILE] SLOT\n"
    "Boot the slot booted as SLOT next, with the description's tries.\n"
    "\n"
    "  -c, --config=FILE       the system description (default /etc/fwkit/system.conf)\n";
const char kExitStatus[] =
    "\n"
    "Exit status: 0 done; 1 usage or a package that cannot be read; 2-8 the package is\n"
    "refused, as by fwkit check (2 not a package, 3 image mismatch, 4 signature, 5 unsigned,\n"
    "6 policy: compatible, version, expiry, 7 a delta against another base, 8 cut short);\n"
    "10 the description is refused; 11 the booted slot cannot be told; 12 the target is the\n"
    "booted slot; 13 no such slot; 14 the slot cannot be opened, written or read; 15 it reads\n"
    "back other bytes; 16 another install is running; 17 a hook failed; 18 the bootloader's\n"
    "environment cannot be read or written; 19 the state directory cannot be written.\n";

struct Parsed {
    std::string config = CSystemDescription::kDefaultPath;
    bool json = false;
    bool allowDowngrade = false;
    bool sbom = false;
    std::string sbomFile;  // install's --sbom FILE
    uint32_t tries = 0;
    CHttpSource::Options net;
    Common common;
    std::vector<std::string> operands;
};

enum { kAllowDowngrade = 256, kSbom };

// Reads the options `allowed` of the subcommand: c (config) always, j, t, the
// downgrade option (d), --sbom where given (status's alone, s; install's with
// a FILE, S) and the network options (n). 0 when read, -1 after the help,
// else 1.
int Parse(int argc, char** argv, const char* name, const std::string& allowed,
          const std::string& help, Parsed& parsed) {
    const bool sbomFile = allowed.find('S') != std::string::npos;
    std::vector<option> longs =
        LongOptions({{"config", required_argument, nullptr, 'c'},
                     {"json", no_argument, nullptr, 'j'},
                     {"tries", required_argument, nullptr, 't'},
                     {"allow-downgrade", no_argument, nullptr, kAllowDowngrade},
                     {"sbom", sbomFile ? required_argument : no_argument, nullptr, kSbom}});
    const bool network = allowed.find('n') != std::string::npos;
    if (network) {
        const std::vector<option> net = NetOptions(kInstallCertKey);
        longs.insert(longs.end() - 1, net.begin(), net.end());
    }
    int c = 0;
    while ((c = NextOption(argc, argv, ":c:jt:qh", longs.data())) != -1) {
        const bool own = c == 'c' || c == 'j' || c == 't' || c == kAllowDowngrade || c == kSbom;
        if (c == 'h') {
            std::printf("%s%s%s%s", help.c_str(),
                        network ? NetHelp(kInstallCertKey, 24).c_str() : "",
                        CommonHelp(24).c_str(), kExitStatus);
            return -1;
        }
        const int net = network ? TakeNet(c, optarg, parsed.net) : 0;
        if (net != 0) {
            if (net < 0)
                return 1;
            continue;
        }
        const char letter = c == kAllowDowngrade ? 'd'
                            : c == kSbom         ? (sbomFile ? 'S' : 's')
                                                 : static_cast<char>(c);
        if (own && c != 'c' && allowed.find(letter) == std::string::npos)
            return UsageError(name, std::string("'") + argv[optind - 1] + "' is not an option of " +
                                        name);
        if (c == 'c')
            parsed.config = optarg;
        parsed.json = parsed.json || c == 'j';
        parsed.allowDowngrade = parsed.allowDowngrade || c == kAllowDowngrade;
        parsed.sbom = parsed.sbom || c == kSbom;
        if (c == kSbom && sbomFile)
            parsed.sbomFile = optarg;
        if (c == 't' && !Number("--tries", optarg, 1, CSystemDescription::kMaxTries, parsed.tries))
            return 1;
        if (!own && !TakeCommon(c, parsed.common))
            return OptionError(name, c, argv);
    }
    for (int i = optind; i < argc; ++i)
        parsed.operands.push_back(argv[i]);
    return 0;
}

// Prints "fwkit: FILE: reason" and returns the exit status of `error`.
int Refused(InstallError error, const std::string& problem,
            PackageError verdict = PackageError::Ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", kProgram, problem.c_str());
    return InstallErrorStatus(error, verdict);
}

// Reads the description and the bootloader's environment; 0 or the exit status.
int OpenSystem(const Parsed& parsed, CSystem& system) {
    const InstallError opened = system.Open(parsed.config);
    return opened == InstallError::Ok ? 0 : Refused(opened, system.Problem());
}

int Operands(const char* name, const Parsed& parsed, size_t least, size_t most) {
    if (parsed.operands.size() < least)
        return UsageError(name, "no slot given");
    if (parsed.operands.size() > most)
        return UsageError(name, "'" + parsed.operands[most] + "' is one operand too many");
    return 0;
}

// A mark-* subcommand: its options, `least` to `most` SLOT operands, then `mark`
// on the system with the slot given (empty when none is).
int Mark(int argc, char** argv, const char* name, const char* usage, size_t least, size_t most,
         const std::function<InstallError(CSystem&, const std::string&)>& mark) {
    Parsed parsed;
    const int read = Parse(argc, argv, name, "", usage, parsed);
    if (read != 0)
        return read < 0 ? 0 : read;
    if (const int extra = Operands(name, parsed, least, most))
        return extra;
    CSystem system;
    if (const int status = OpenSystem(parsed, system))
        return status;
    const InstallError marked =
        mark(system, parsed.operands.empty() ? std::string() : parsed.operands[0]);
    return marked == InstallError::Ok ? 0 : Refused(marked, system.Problem());
}

}  // namespace

int Install(int argc, char** argv) {
    Parsed parsed;
    const int read = Parse(argc, argv, "install", "jtdSn", kInstallUsage, parsed);
    if (read != 0)
        return read < 0 ? 0 : read;
    if (parsed.operands.size() != 1)
        return UsageError("install", parsed.operands.empty() ? "no package given"
                                                             : "one package only");
    CSystem system;
    if (const int status = OpenSystem(parsed, system))
        return status;
    CInstaller installer(system);
    CInstaller::Options options;
    options.allowDowngrade = parsed.allowDowngrade;
    options.tries = parsed.tries;
    options.sbom = parsed.sbomFile;
    const CHttpSource::Counters* fetch = nullptr;
    const std::unique_ptr<CPackageSource> server = OpenUrl(parsed.operands[0], parsed.net, &fetch);
    std::string package;
    if (server == nullptr && (package = InputPath(parsed.operands[0])).empty())
        return 1;
    Progress progress(server ? parsed.common.progress : 0, "install");
    const CInstaller::Result& result =
        server ? installer.Run(*server, options) : installer.Install(package, options);
    if (result.error != InstallError::Ok)
        return Refused(result.error, result.problem, result.verdict);
    if (parsed.json && !parsed.common.quiet) {
        const std::string document = CInstaller::ResultJson(parsed.operands[0], result);
        std::fputs((fetch != nullptr ? WithFetch(document, *fetch) : document).c_str(),
                   stdout);
    } else if (!parsed.common.quiet) {
        std::printf("%s: installed version %s into slot %s (%s); it boots next\n",
                    parsed.operands[0].c_str(), result.record.version.c_str(), result.slot.c_str(),
                    result.device.c_str());
    }
    if (result.chunked && !parsed.json && !parsed.common.quiet)
        std::printf("%s: %llu bytes reused from the booted slot, %llu fetched, %llu already in "
                    "place\n",
                    parsed.operands[0].c_str(), static_cast<unsigned long long>(result.reused),
                    static_cast<unsigned long long>(result.fetched),
                    static_cast<unsigned long long>(result.present));
    return 0;
}

// Prints the bill of materials recorded for the slots booted as `bootName`: the
// first of them (in the description's order) that has one.
int PrintSbom(const CSystem& system, const CSystem::Status& status, const std::string& bootName) {
    for (const CSystem::SlotStatus& slot : status.slots) {
        if (slot.bootName != bootName)
            continue;
        CSlotRecord record = system.Record(slot.name);
        std::string document;
        if (record.ReadSbom(CPackageAttachment::kMaxSbomSize, document)) {
            std::fwrite(document.data(), 1, document.size(), stdout);
            return 0;
        }
        if (!record.Problem().empty())
            return Refused(InstallError::StateFailed, record.Problem());
    }
    std::fflush(stdout);
    return Complain("slot " + bootName, "no bill of materials is recorded for it");
}

int Status(int argc, char** argv) {
    Parsed parsed;
    const int read = Parse(argc, argv, "status", "js", kStatusUsage, parsed);
    if (read != 0)
        return read < 0 ? 0 : read;
    if (const int extra = Operands("status", parsed, 0, parsed.sbom ? 1 : 0))
        return extra;
    if (parsed.sbom && parsed.json)
        return UsageError("status", "--sbom prints the document itself; --json does not apply");
    CSystem system;
    if (const int status = OpenSystem(parsed, system))
        return status;
    CSystem::Status status;
    const InstallError got = system.GetStatus(status);
    if (got != InstallError::Ok)
        return Refused(got, system.Problem());
    if (parsed.sbom) {
        const std::string slot = parsed.operands.empty() ? status.booted : parsed.operands[0];
        if (!system.IsBootName(slot))
            return Refused(InstallError::UnknownSlot, "slot " + slot + ": no such slot");
        return PrintSbom(system, status, slot);
    }
    std::fputs((parsed.json ? CSystem::StatusJson(status) : CSystem::StatusText(status)).c_str(),
               stdout);
    return 0;
}

int MarkGood(int argc, char** argv) {
    return Mark(argc, argv, "mark-good", kMarkGoodUsage, 0, 0,
                [](CSystem& system, const std::string&) { return system.MarkGood(); });
}

int MarkBad(int argc, char** argv) {
    return Mark(argc, argv, "mark-bad", kMarkBadUsage, 0, 1,
                [](CSystem& system, const std::string& slot) { return system.MarkBad(slot); });
}

int MarkActive(int argc, char** argv) {
    return Mark(argc, argv, "mark-active", kMarkActiveUsage, 1, 1,
                [](CSystem& system, const std::string& slot) { return system.MarkActive(slot); });
}

}  // namespace Cli
