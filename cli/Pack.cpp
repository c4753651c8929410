// fwkit pack and fwkit join: the two builds of a firmware file, with strict values.
#include <sys/stat.h>

#include <cstdio>
#include <list>
#include <string>
#include <vector>

#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "Command.h"
#include "FilePath.h"
#include "Json.h"
#include "Progress.h"
#include "Subcommands.h"
#include "Text.h"

namespace Cli {

namespace {

const char kPackUsage[] =
    "Usage: fwkit pack --type N [OPTIONS] [-o OUT] DATA\n"
    "Wrap the data file DATA (- for standard input) in a fragment header: a physical\n"
    "firmware file.\n"
    "\n"
    "  -t, --type=N        fragment type: 206 to 209, or 400 to 65535 (required)\n"
    "  -r, --release=N     release, 0 to 65535 (default 0)\n"
    "  -v, --version=N     version field of the header, 0 to 65535 (default 0)\n"
    "  -b, --build=N       build number, 0 to 4294967295 (default 1)\n"
    "      --date=DATE     YYYY-MM-DD (default: the day of SOURCE_DATE_EPOCH, or today, UTC)\n"
    "  -n, --name=NAME     fragment name, 1 to 255 bytes (default: DATA without its directory)\n"
    "  -o, --output=OUT    firmware file to write, - for standard output (default: DATA.fw)\n"
    "  -j, --json          say what was written as one JSON document\n";
const char kJoinUsage[] =
    "Usage: fwkit join --type N -o OUT [OPTIONS] FW...\n"
    "Join the first fragment of each firmware file FW into one logical firmware file.\n"
    "\n"
    "  -t, --type=N        logical type: 300 to 399 (required)\n"
    "  -a, --article=N     article number, 0 to 4294967295 (default 0)\n"
    "  -r, --release=N     release, 0 to 65535 (default 0)\n"
    "  -v, --version=N     version field of the header, 0 to 65535 (default 0)\n"
    "  -b, --build=N       build number, 0 to 4294967295 (default 1)\n"
    "      --date=DATE     YYYY-MM-DD (default: the day of SOURCE_DATE_EPOCH, or today, UTC)\n"
    "  -n, --name=NAME     name of the logical header, 1 to 255 bytes (default: OUT\n"
    "                      without its directory)\n"
    "  -o, --output=OUT    firmware file to write, - for standard output (required)\n"
    "  -j, --json          say what was written as one JSON document\n";
const char kStatus[] =
    "\n"
    "Exit status: 0 written, 1 otherwise (usage, a file that cannot be read or written).\n";

// The header fields and names of one build, as the command line gave them.
struct Build {
    Common common;
    bool json = false;
    bool typeGiven = false;
    uint32_t type = 0, release = 0, version = 0, build = 1, article = 0;
    bool dateGiven = false;
    Core::Parse::Date date;
    std::string name;
    std::string out;
};

const std::vector<option> kLong = LongOptions({{"type", required_argument, nullptr, 't'},
                        {"release", required_argument, nullptr, 'r'},
                        {"version", required_argument, nullptr, 'v'},
                        {"build", required_argument, nullptr, 'b'},
                        {"article", required_argument, nullptr, 'a'},
                        {"date", required_argument, nullptr, 'd'},
                        {"name", required_argument, nullptr, 'n'},
                        {"output", required_argument, nullptr, 'o'},
                        {"json", no_argument, nullptr, 'j'},
                        });

// The type of a physical firmware file, as the reader tells the kinds apart.
bool PhysicalType(uint32_t& type) {
    uint64_t value = 0;
    if (Core::Parse::CommandNumber(optarg, 0, 65535, value).empty() &&
        CFirmwareFile::IsPhysicalType(static_cast<uint32_t>(value))) {
        type = static_cast<uint32_t>(value);
        return true;
    }
    std::fprintf(stderr, "%s: --type: '%s' is not a physical type (206 to 209, or 400 to 65535)\n",
                 kProgram, optarg);
    return false;
}

// Applies option `c` to `b`; false after a message when its value is refused.
bool TakeOption(int c, Build& b, bool logical) {
    switch (c) {
        case 't':
            b.typeGiven = true;
            return logical ? Number("--type", optarg, 300, 399, b.type) : PhysicalType(b.type);
        case 'r':
            return Number("--release", optarg, 0, 65535, b.release);
        case 'v':
            return Number("--version", optarg, 0, 65535, b.version);
        case 'b':
            return Number("--build", optarg, 0, UINT32_MAX, b.build);
        case 'a':
            return Number("--article", optarg, 0, UINT32_MAX, b.article);
        case 'd':
            b.dateGiven = true;
            return CalendarDate("--date", optarg, b.date);
        case 'n':
            b.name = optarg;
            return FragmentName("--name", b.name);
        case 'o':
            b.out = optarg;
            return true;
        case 'j':
            b.json = true;
            return true;
        default:
            return TakeCommon(c, b.common);
    }
}

// Reads the options of `subcommand`; 0 when read, -1 after --help, 1 after a refusal.
int ReadOptions(int argc, char** argv, const char* subcommand, Build& b) {
    const bool logical = subcommand[0] == 'j';
    const char* shortOptions = logical ? ":t:a:r:v:b:n:o:jqh" : ":t:r:v:b:n:o:jqh";
    int c = 0;
    while ((c = NextOption(argc, argv, shortOptions, kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s", logical ? kJoinUsage : kPackUsage, CommonHelp().c_str(), kStatus);
            return -1;
        }
        if (c == ':' || c == '?' || (!logical && c == 'a'))
            return OptionError(subcommand, c, argv);
        if (!TakeOption(c, b, logical))
            return 1;
    }
    if (b.json && b.out == "-")
        return UsageError(subcommand, "--json and --output - would both write standard output");
    if (!b.typeGiven)
        return UsageError(subcommand, logical ? "--type is required (300 to 399)"
                                              : "--type is required (206 to 209, or 400 to 65535)");
    return b.dateGiven || DefaultDate(b.date) ? 0 : 1;
}

// True when `path` can be read as a firmware file or a data file; says why not.
bool Readable(const std::string& operand, const std::string& path) {
    const std::string cause = Core::File::RegularFileProblem(path);
    return cause.empty() || Complain(operand, cause) == 0;
}

// Says why a build did not write its output, naming the file as the command line did.
// `target` is the path `out` was written through.
int BuildFailed(const CFirmwareFile& fw, const std::vector<std::string>& paths,
                const std::vector<std::string>& operands, const std::string& out,
                const std::string& target) {
    const CFirmwareFile::Failure failure = fw.BuildFailure();
    std::string file = failure.file.empty() ? target : failure.file;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (file == paths[i])
            file = operands[i];
    }
    if (file == target)
        file = out;
    return Complain(file, failure.reason.empty() ? "not written" : failure.reason);
}

// Prints the build's result line or document, unless quiet or the firmware file went to
// standard output.
int Built(const CFirmwareFile& fw, const Build& b, const char* kind) {
    if (b.json && !b.common.quiet) {
        std::printf("%s", BuildJson(b.out, kind, fw.BytesWritten()).c_str());
    } else if (!b.common.quiet && b.out != "-") {
        // The lines name the output: shown escaped, as listings show names.
        for (const std::string& line : fw.GetMessages())
            std::printf("%s\n", Core::Text::Escaped(line).c_str());
    }
    return 0;
}

// Two passes over the inputs when the output is not a file that can be written at
// any offset.
uint64_t Passes(const std::string& out) {
    struct stat st {};
    if (out == "-" || (stat(out.c_str(), &st) == 0 && !S_ISREG(st.st_mode)))
        return 2;
    return 1;
}

}  // namespace

int Pack(int argc, char** argv) {
    Build b;
    const int read = ReadOptions(argc, argv, "pack", b);
    if (read != 0)
        return read < 0 ? 0 : 1;
    if (argc - optind != 1)
        return UsageError("pack", argc - optind == 0 ? "no data file given"
                                                     : "one data file only; '" +
                                                           std::string(argv[optind + 1]) +
                                                           "' is one too many");
    const std::string operand = argv[optind];
    if (operand == "-" && (b.name.empty() || b.out.empty()))
        return Complain(operand, "standard input has no name: give --name and --output");
    if (b.name.empty() && !FragmentName("--name", Core::File::BaseName(operand)))
        return 1;
    Progress progress(b.common.progress, "pack");
    const std::string in = InputPath(operand);
    if (in.empty() || !Readable(operand, in))
        return 1;
    if (b.name.empty())
        b.name = Core::File::BaseName(operand);
    if (b.out.empty())
        b.out = operand + ".fw";
    const std::string out = OutputPath(b.out);
    if (out.empty())
        return 1;
    if (Core::File::SameFile(in, out))
        return Complain(b.out, "is the data file being read, not written");
    progress.SetTotal(static_cast<uint64_t>(Core::File::FileSize(in)) * Passes(b.out));
    const CFirmwareFile fw(in, out, b.type, b.release, b.version, b.name, b.build,
                           static_cast<uint32_t>(b.date.day), static_cast<uint32_t>(b.date.month),
                           static_cast<uint32_t>(b.date.year), CFirmwareFile::Messages::KeepOnly);
    if (!fw.WriteComplete())
        return BuildFailed(fw, {in}, {operand}, b.out, out);
    return Built(fw, b, "physical");
}

namespace {

// Parses every input; true when each is a firmware file whose checks all hold.
bool ParseInputs(const std::vector<std::string>& operands, const std::vector<std::string>& paths,
                 std::list<CFirmwareFile*>& inputs) {
    bool all = true;
    for (size_t i = 0; i < paths.size(); ++i) {
        inputs.push_back(new CFirmwareFile(paths[i], CFirmwareFile::Messages::KeepOnly));
        CFirmwareFile& fw = *inputs.back();
        // Inputs may outnumber the descriptors a process may hold; each one is opened
        // again for its turn in the build.
        fw.ReleaseInput();
        if (fw.ParseComplete())
            continue;
        all = false;
        const CFirmwareReport report(fw, paths[i], Core::File::FileSize(paths[i]));
        for (const std::string& line : report.FailureLines())
            Complain(operands[i], line);
        if (fw.NoFragments() == 0)
            Complain(operands[i], "no valid fragment");
    }
    return all;
}

}  // namespace

int Join(int argc, char** argv) {
    Build b;
    const int read = ReadOptions(argc, argv, "join", b);
    if (read != 0)
        return read < 0 ? 0 : 1;
    if (b.out.empty())
        return UsageError("join", "--output is required");
    const int count = argc - optind;
    if (count < 1 || count > 65535)
        return UsageError("join", "give 1 to 65535 firmware files to join");
    if (b.name.empty() && !FragmentName("--name", Core::File::BaseName(b.out)))
        return 1;
    if (b.name.empty())
        b.name = Core::File::BaseName(b.out);
    std::vector<std::string> operands(argv + optind, argv + argc);
    std::vector<std::string> paths;
    uint64_t total = 0;
    Progress progress(b.common.progress, "join");
    for (const std::string& operand : operands) {
        paths.push_back(InputPath(operand));
        if (paths.back().empty() || !Readable(operand, paths.back()))
            return 1;
        total += static_cast<uint64_t>(Core::File::FileSize(paths.back()));
    }
    const std::string out = OutputPath(b.out);
    if (out.empty())
        return 1;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (Core::File::SameFile(paths[i], out))
            return Complain(b.out, "is the input " + operands[i] + " being read, not written");
    }
    progress.SetTotal(total * (1 + Passes(b.out)));
    std::list<CFirmwareFile*> inputs;
    int status = 1;
    if (ParseInputs(operands, paths, inputs)) {
        const CFirmwareFile fw(inputs, out, b.type, b.release, b.version, b.name, b.build,
                               static_cast<uint32_t>(b.date.day),
                               static_cast<uint32_t>(b.date.month),
                               static_cast<uint32_t>(b.date.year), b.article,
                               static_cast<uint32_t>(count), CFirmwareFile::Messages::KeepOnly);
        status = fw.WriteComplete() ? Built(fw, b, "logical") : BuildFailed(fw, paths, operands, b.out, out);
    }
    for (CFirmwareFile* input : inputs)
        delete input;
    return status;
}

}  // namespace Cli
