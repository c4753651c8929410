// imgunpack: checks a firmware file, physical or logical, and either lists it
// (-d), reports it as one JSON document (-j), or writes the data of each
// physical fragment, or of those whose names begin with the text given to -n,
// into a file named after the fragment in the working directory or the
// directory given to -C. Everything, messages included, goes to standard output.
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "Core.h"

namespace {

void display_usage() {
    static const char* const lines[] = {
        "Usage: imgunpack [ options ... ] [Firmware File] ",
        "       where options include:",
        "",
        "  -n <name>      Specify a Firmware File <name> to search for and decode.",
        "  -d             Display Firmware File contents only.",
        "  -h             Print this message.",
    };
    for (const char* line : lines) {
        std::printf("%s\n", line);
        std::fflush(stdout);
    }
}

// Writes fragment `i` of `fw` into `prefix` + its name; false when it was
// refused or could not be written in full.
bool Extract(CFirmwareFile& fw, unsigned int i, const std::string& in, const std::string& prefix) {
    const std::string fragment = fw.GetFragmentName(i);
    if (const char* reason = Core::File::UnsafeNameReason(fragment)) {
        std::printf("Fragment %s not extracted: %s\n", fragment.c_str(), reason);
        return false;
    }
    const std::string path = prefix + fragment;
    if (Core::File::SameFile(in, path)) {
        std::printf("Fragment %s not extracted: %s is the firmware file being read\n",
                    fragment.c_str(), path.c_str());
        return false;
    }
    fw.DumpRawFragment(i, path);
    if (!fw.WriteComplete()) {
        std::printf("Unable to write fragment file %s\n", path.c_str());
        return false;
    }
    return true;
}

// Prints the JSON report of `in`; returns the exit status a listing would have.
int PrintJson(const std::string& in) {
    const long long size = Core::File::FileSize(in);
    const std::string unreadable = CFirmwareFile::UnreadableMessage(in);
    if (!unreadable.empty()) {
        std::cout << CFirmwareReport(in, size, unreadable).Json() << std::flush;
        return 1;
    }
    CFirmwareFile fw(in, CFirmwareFile::Messages::KeepOnly);
    const CFirmwareReport report(fw, in, size);
    std::cout << report.Json() << std::flush;
    return report.Ok() ? 0 : 1;
}

// Names each fragment of a damaged file and the check it failed.
void PrintFailures(CFirmwareFile& fw, const std::string& in) {
    const CFirmwareReport report(fw, in, Core::File::FileSize(in));
    for (const std::string& line : report.FailureLines())
        std::printf("%s\n", line.c_str());
}

// Sets `out`, the prefix put before every fragment name: `dir` and "/" when a
// directory was given, else the working directory and "/", or nothing when that
// cannot be determined or does not fit. False, after a message, when `dir` is
// not a directory.
bool OutputPrefix(const std::string& dir, std::string& out) {
    if (!dir.empty()) {
        struct stat st {};
        if (stat(dir.c_str(), &st) != 0) {
            std::printf("Directory %s does not exist\n", dir.c_str());
            return false;
        }
        if (!S_ISDIR(st.st_mode)) {
            std::printf("%s is not a directory\n", dir.c_str());
            return false;
        }
        out = dir + "/";
        return true;
    }
    char cur_path[256];
    if (getcwd(cur_path, sizeof cur_path) != nullptr)
        out = std::string(cur_path) + "/";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        display_usage();
        return 1;
    }
    opterr = 0;
    bool displayOnly = false;
    bool json = false;
    std::string name;
    std::string in;
    std::string dir;
    int opt = 0;
    while ((opt = getopt(argc, argv, "n:dhjC:")) != -1) {
        switch (opt) {
            case 'd':
                displayOnly = true;
                break;
            case 'j':
                json = true;
                break;
            case 'C':
                dir = optarg;
                break;
            case 'n':
                name = optarg;
                break;
            case 'h':
            case '?':
                display_usage();
                return 1;
            default:
                break;
        }
    }
    if (optind >= argc) {
        std::printf("Input File name not provided. Exiting...\n");
        return 1;
    }
    in = argv[optind];
    if (json)
        return PrintJson(in);

    std::string out;
    if (!displayOnly && !OutputPrefix(dir, out))
        return 1;

    if (!CFirmwareFile::ReportUnreadable(in))
        return 1;
    CFirmwareFile fw(in);
    int status = fw.ParseComplete() ? 0 : 1;
    if (status != 0)
        PrintFailures(fw, in);
    if (fw.NoFragments() == 0) {
        if (status != 0)
            std::printf("No valid fragment in firmware file %s\n", in.c_str());
        return status;
    }
    if (displayOnly) {
        std::cout << fw.ToString() << std::flush;
        return status;
    }
    bool matched = false;
    for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
        const std::string fragment = fw.GetFragmentName(i);
        if (strncasecmp(name.c_str(), fragment.c_str(), name.size()) != 0)
            continue;
        matched = true;
        if (!Extract(fw, i, in, out))
            status = 1;
    }
    if (!matched) {
        std::printf("No fragment of firmware file %s matches %s\n", in.c_str(), name.c_str());
        status = 1;
    }
    return status;
}
