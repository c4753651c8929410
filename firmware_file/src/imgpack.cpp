// imgpack: wraps a data file in a fragment header and writes it as a physical
// firmware file, or (with -p N) joins the first fragments of N firmware files
// into one logical firmware file. Everything, messages included, goes to
// standard output.
#include <getopt.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <string>

#include "CFirmwareFile.h"
#include "Core.h"
#include "FilePath.h"
#include "Stdout.h"

namespace {

const char* const kLogicalName = "LogicalFirmwareObject.fw";
// The logical header counts its physical objects in 16 bits.
constexpr int32_t kMaxObjects = 65535;

// The settings of one run, with their defaults.
struct Settings {
    int32_t type = 0;
    int32_t release = 0;
    int32_t version = 0;
    std::string name;
    std::string in;
    std::string out;
    int32_t build = 1;
    int32_t day = 1;
    int32_t month = 1;
    int32_t year = 2010;
    int32_t no_objects = 0;
    int32_t article_no = 0;
    bool show_version = false;
};

void display_usage() {
    static const char* const lines[] = {
        "Usage: imgpack [ options ... ] [Data File] ",
        "       where options include:",
        "",
        "  -t <type>          Specify <type> to encode.",
        "                          300 - 399 = Logical File (Ensure -p option is set)",
        "                          400+      = Physical File",
        "  -r <release>       Specify <release> to encode.",
        "  -v <version>       Specify <version> to encode.",
        "  -n <name>          Specify <name> to encode.",
        "                     This value is used as the file name when decoding",
        ("                     If no name is supplied, the [Data File] name is used with any "
         "preceeding path information removed"),
        "  -d <day>           Specify <day> to encode.",
        "  -m <month>         Specify <month> to encode.",
        "  -y <year>          Specify <year> to encode.",
        "  -b <build>         Specify <build> to encode.",
        "  -p <no_phys_obj>   Specify number of physical objects to encode.",
        "                     Set this value for logical file encoding",
        "  -a <article_no>    Specify article number for firmware file.",
        "                     Set this value for logical file encoding",
        "  -o <output file>   Specify <output file> to write Firmware File to.",
        "                     If no output file is specified, the [Data File] is",
        "                     used, with '.fw' appended.",
        "  -h                 Print this message.",
    };
    for (const char* line : lines) {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

std::string AppendFw(const std::string& text) {
    return text + ".fw";
}

// Reads the options; false when the usage text is to be shown instead.
bool ReadOptions(int argc, char** argv, Settings& s) {
    using Core::Number::ToInt32;
    opterr = 0;
    int opt = 0;
    while ((opt = getopt(argc, argv, "a:t:r:v:n:o:d:m:y:b:p:hV")) != -1) {
        switch (opt) {
            case 'a':
                s.article_no = ToInt32(optarg);
                break;
            case 't':
                s.type = ToInt32(optarg);
                break;
            case 'r':
                s.release = ToInt32(optarg);
                break;
            case 'v':
                s.version = ToInt32(optarg);
                break;
            case 'n':
                s.name = optarg;
                break;
            case 'o':
                s.out = optarg;
                break;
            case 'd':
                s.day = ToInt32(optarg);
                break;
            case 'm':
                s.month = ToInt32(optarg);
                break;
            case 'y':
                s.year = ToInt32(optarg);
                break;
            case 'b':
                s.build = ToInt32(optarg);
                break;
            case 'p':
                s.no_objects = ToInt32(optarg);
                break;
            case 'V':
                s.show_version = true;
                return true;
            case 'h':
            case '?':
                return false;
            default:
                break;
        }
    }
    return true;
}

// Fills in the input, output and fragment names the command line left empty.
void DeriveNames(Settings& s, const std::list<CFirmwareFile*>& inputs) {
    if (s.in.empty()) {
        s.in = kLogicalName;
        if (inputs.size() == 1) {
            const std::string fragment = inputs.front()->GetFragmentName(0);
            if (Core::File::UnsafeNameReason(fragment) == nullptr)
                s.in = AppendFw(fragment);
        }
    }
    if (s.out.empty())
        s.out = AppendFw(s.in);
    if (s.name.empty())
        s.name = Core::File::BaseName(s.in);
}

// Says why a data file cannot be packed; true when it can. A FIFO or a device is
// looked at without being waited on.
bool DataFileUsable(const std::string& path) {
    const CInputFile data(path);
    if (data.GetState() == CInputFile::State::NotRegular) {
        std::printf("Data file %s is not a regular file\n", path.c_str());
        return false;
    }
    if (data.GetState() == CInputFile::State::Unreadable) {
        std::printf("Unable to read data file %s\n", path.c_str());
        return false;
    }
    return true;
}

int BuildPhysical(const Settings& s) {
    if (!DataFileUsable(s.in))
        return 1;
    if (Core::File::SameFile(s.in, s.out)) {
        std::printf("Output file %s is the data file being read, not written\n", s.out.c_str());
        return 1;
    }
    auto fw = std::make_unique<CFirmwareFile>(
        s.in, s.out, static_cast<uint32_t>(s.type), static_cast<uint32_t>(s.release),
        static_cast<uint32_t>(s.version), s.name, static_cast<uint32_t>(s.build),
        static_cast<uint32_t>(s.day), static_cast<uint32_t>(s.month),
        static_cast<uint32_t>(s.year));
    return fw->WriteComplete() ? 0 : 1;
}

// True when every input holds a fragment to join; otherwise says so once per
// input without one, as the build itself would, and nothing is built.
bool AllInputsHoldFragments(const std::list<CFirmwareFile*>& inputs) {
    bool all = true;
    for (const CFirmwareFile* input : inputs) {
        if (input->NoFragments() == 0) {
            std::printf("Unable to write out empty or unparsed firmware fragment.\n");
            all = false;
        }
    }
    return all;
}

bool OutputIsAnInput(const std::string& out, char** operands, int count) {
    for (int i = 0; i < count; ++i) {
        if (Core::File::SameFile(operands[i], out)) {
            std::printf("Output file %s is the input %s being read, not written\n", out.c_str(),
                        operands[i]);
            return true;
        }
    }
    return false;
}

int BuildLogical(Settings& s, char** operands, int count) {
    std::list<CFirmwareFile*> physicalFiles;
    for (int i = 0; i < count; ++i) {
        CFirmwareFile::ReportUnreadable(operands[i]);
        physicalFiles.push_back(new CFirmwareFile(operands[i]));
        // Inputs may outnumber the descriptors a process may hold; each one is opened
        // again for its turn in the build.
        physicalFiles.back()->ReleaseInput();
    }
    int status = 1;
    if (AllInputsHoldFragments(physicalFiles)) {
        DeriveNames(s, physicalFiles);
        if (!OutputIsAnInput(s.out, operands, count)) {
            auto fw = std::make_unique<CFirmwareFile>(
                physicalFiles, s.out, static_cast<uint32_t>(s.type),
                static_cast<uint32_t>(s.release), static_cast<uint32_t>(s.version), s.name,
                static_cast<uint32_t>(s.build), static_cast<uint32_t>(s.day),
                static_cast<uint32_t>(s.month), static_cast<uint32_t>(s.year),
                static_cast<uint32_t>(s.article_no), static_cast<uint32_t>(s.no_objects));
            status = fw->WriteComplete() ? 0 : 1;
        }
    }
    for (CFirmwareFile* input : physicalFiles)
        delete input;
    return status;
}

int Run(int argc, char** argv) {
    if (argc < 2) {
        display_usage();
        return 1;
    }
    Settings s;
    if (!ReadOptions(argc, argv, s)) {
        display_usage();
        return 1;
    }
    if (s.show_version) {
        std::printf("imgpack (fwkit) %s\n", FWKIT_VERSION);
        return 0;
    }
    s.out = Core::SeparateFromMessages(s.out);
    char** operands = argv + optind;
    const int count = argc - optind;
    if (s.no_objects < 1) {
        if (count < 1) {
            std::printf("Input File name not provided. Exiting...\n");
            return 1;
        }
        s.in = operands[0];
        DeriveNames(s, {});
        return BuildPhysical(s);
    }
    if (s.no_objects > kMaxObjects) {
        std::printf("A logical firmware file holds at most %d objects\n", kMaxObjects);
        return 1;
    }
    if (count != s.no_objects) {
        std::printf("Expected %d files but got %d\n", static_cast<int>(s.no_objects), count);
        return 1;
    }
    return BuildLogical(s, operands, count);
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout("imgpack", Run(argc, argv));
}
