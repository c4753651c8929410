// fwkit list and fwkit extract: checking firmware files, listing their fragments and
// writing out their data. fwkit list also shows an upgrade package's header lines.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "CFirmwareExtraction.h"
#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "CInputFile.h"
#include "CPackageHeader.h"
#include "Core.h"
#include "Command.h"
#include "FilePath.h"
#include "Json.h"
#include "Parse.h"
#include "Progress.h"
#include "Subcommands.h"
#include "Text.h"

namespace Cli {

namespace {

const char kListUsage[] =
    "Usage: fwkit list [OPTIONS] FW...\n"
    "Check every header and body of each firmware file FW (- for standard input) and list\n"
    "its fragments, one line each; a damaged file is named with the check that failed. An\n"
    "upgrade package has its header lines listed, its version decoded; its digests and\n"
    "signatures are not verified (that is fwkit check).\n"
    "\n"
    "  -j, --json          one JSON document: an array of one report per file\n";
const char kExtractUsage[] =
    "Usage: fwkit extract [OPTIONS] FW\n"
    "Check the firmware file FW (- for standard input) and write the data of each of its\n"
    "fragments into a file named after the fragment.\n"
    "\n"
    "  -C, --directory=DIR write the files below DIR (default: the working directory)\n"
    "  -n, --name=PREFIX   only the fragments whose names begin with PREFIX, in any case\n"
    "  -j, --json          say what was written as one JSON document, and what failed in it\n";
const char kStatus[] =
    "\n"
    "Exit status: 0 every file intact (and its fragments written), 1 otherwise.\n";
const char kListStatus[] =
    "\n"
    "Exit status: 0 every firmware file intact and every package header well formed,\n"
    "1 otherwise.\n";

const std::vector<option> kLong = LongOptions({{"json", no_argument, nullptr, 'j'},
                        {"directory", required_argument, nullptr, 'C'},
                        {"name", required_argument, nullptr, 'n'},
                        });

struct Inspection {
    Common common;
    bool json = false;
    std::string dir;
    std::string name;
};

// Reads the options; 0 when read, -1 after --help, 1 after a usage error.
int ReadOptions(int argc, char** argv, const char* subcommand, Inspection& x) {
    const bool list = subcommand[0] == 'l';
    int c = 0;
    while ((c = NextOption(argc, argv, list ? ":jqh" : ":C:n:jqh", kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s", list ? kListUsage : kExtractUsage, CommonHelp().c_str(),
                        list ? kListStatus : kStatus);
            return -1;
        }
        if (c == 'j')
            x.json = true;
        else if (c == 'C' && !list)
            x.dir = optarg;
        else if (c == 'n' && !list)
            x.name = optarg;
        else if (!TakeCommon(c, x.common))
            return OptionError(subcommand, c, argv);
    }
    if (optind >= argc)
        return UsageError(subcommand, "no firmware file given");
    return 0;
}

// The path to read `operand` from, after saying why it cannot be read; empty then.
std::string ReadablePath(const std::string& operand) {
    const std::string path = InputPath(operand);
    if (path.empty())
        return path;
    const std::string cause = Core::File::RegularFileProblem(path);
    if (!cause.empty()) {
        Complain(operand, cause);
        return "";
    }
    if (Core::File::FileSize(path) == 0) {
        Complain(operand, "empty, no firmware file");
        return "";
    }
    return path;
}

// Whether `fw`, which did not parse as an intact firmware file, is an upgrade package
// instead: its header block reads as the checkers read it, within the header's own
// bound. An intact firmware file is never read again for this, and the header reader
// looks no further than the block's empty line.
bool ReadPackage(CFirmwareFile& fw, const std::string& path, CPackageHeader& header) {
    if (fw.ParseComplete())
        return false;
    CInputFile package(path);
    return package.GetState() == CInputFile::State::Readable &&
           package.FileSize() <= CPackageHeader::kMaxPackageSize &&
           header.Read(package) == PackageError::Ok;
}

// A package's header lines in file order, as stored but for the version, decoded.
std::string ListPackage(const CPackageHeader& header) {
    std::string text;
    for (const auto& [name, value] : header.Lines()) {
        uint32_t packed = 0;
        const bool decoded = name == "version" && Core::Parse::StoredVersion(value, packed);
        text += name + ": " + (decoded ? Core::Version::Text(packed) : value) + "\n";
    }
    return text;
}

// The listing of one firmware file, or of one package's header, to be printed once
// the work is done; `intact` says whether the firmware file is intact or the package
// header well formed.
std::string ListOne(const std::string& operand, const std::string& path, const Inspection& x,
                    bool& intact) {
    CFirmwareFile fw(path, CFirmwareFile::Messages::KeepOnly);
    CPackageHeader header;
    if (ReadPackage(fw, path, header)) {
        intact = true;
        return x.common.quiet ? "" : ListPackage(header);
    }
    const auto say = [&operand](const std::string& line) { Complain(operand, line); };
    // A file that is no firmware file at all (a type of neither kind, or too large)
    // has no check to name: the parse's own message says why.
    if (fw.GetHeader() == nullptr && fw.NoFragments() == 0 && fw.GetFailedFragment() == nullptr) {
        for (const std::string& message : fw.GetMessages())
            say(message);
    }
    intact = CFirmwareExtraction::SayFailures(fw, operand, say) == 0;
    if (x.common.quiet || fw.NoFragments() == 0)
        return "";
    return CFirmwareReport(fw, operand, Core::File::FileSize(path)).Listing();
}

// The report of one firmware file, or the header lines of one package, ended by a line
// feed; `intact` says whether the file is intact or the header well formed.
std::string ReportOne(const std::string& operand, const std::string& path, bool& intact) {
    const long long size = path.empty() ? -1 : Core::File::FileSize(path);
    if (path.empty()) {
        intact = false;
        return CFirmwareReport(operand, size, "cannot be read").Json();
    }
    CFirmwareFile fw(path, CFirmwareFile::Messages::KeepOnly);
    CPackageHeader header;
    if (ReadPackage(fw, path, header)) {
        intact = true;
        return PackageLinesJson(operand, header.Lines());
    }
    const CFirmwareReport report(fw, operand, size);
    intact = report.Ok();
    return report.Json();
}

}  // namespace

int List(int argc, char** argv) {
    Inspection x;
    const int read = ReadOptions(argc, argv, "list", x);
    if (read != 0)
        return read < 0 ? 0 : 1;
    bool all = true;
    std::vector<std::string> docs;
    for (int i = optind; i < argc; ++i) {
        const std::string operand = argv[i];
        const std::string path = ReadablePath(operand);
        bool intact = !path.empty();
        std::string listing;
        {
            // The line of this file's progress ends before its listing is printed.
            Progress progress(x.common.progress, "list " + Core::Text::Escaped(operand),
                              path.empty() ? 0 : static_cast<uint64_t>(Core::File::FileSize(path)));
            if (x.json)
                docs.push_back(ReportOne(operand, path, intact));
            else if (intact)
                listing = ListOne(operand, path, x, intact);
        }
        if (!listing.empty())
            std::cout << (argc - optind > 1 ? Core::Text::Escaped(operand) + ":\n" : "")
                      << listing << std::flush;
        all = all && intact;
    }
    if (x.json && !x.common.quiet)
        std::cout << Core::Text::JsonArray(docs) << std::flush;
    return all ? 0 : 1;
}

int Extract(int argc, char** argv) {
    Inspection x;
    const int read = ReadOptions(argc, argv, "extract", x);
    if (read != 0)
        return read < 0 ? 0 : 1;
    if (argc - optind > 1)
        return UsageError("extract", "one firmware file only; '" + std::string(argv[optind + 1]) +
                                         "' is one too many");
    const std::string operand = argv[optind];
    const int dirfd = open(x.dir.empty() ? "." : x.dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0)
        return Complain(x.dir.empty() ? "." : x.dir, std::strerror(errno));
    const std::string path = ReadablePath(operand);
    if (path.empty())
        return 1;
    const std::string shown = x.dir.empty() ? "" : x.dir.back() == '/' ? x.dir : x.dir + "/";
    std::vector<std::string> messages;
    CFirmwareExtraction extraction(dirfd, shown, [&](const std::string& line) {
        if (x.json)
            messages.push_back(line);
        else
            Complain(operand, line);
    });
    extraction.Select(x.name);
    int status = 1;
    {
        Progress progress(x.common.progress, "extract",
                          static_cast<uint64_t>(Core::File::FileSize(path)));
        status = extraction.Run(path);
    }
    close(dirfd);
    if (x.json && !x.common.quiet)
        std::cout << ExtractJson(operand, x.dir.empty() ? "." : x.dir, status == 0,
                                 extraction.Made(), messages)
                  << std::flush;
    return status;
}

}  // namespace Cli
