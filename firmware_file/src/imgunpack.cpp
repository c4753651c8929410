// imgunpack: checks a firmware file, physical or logical, and either lists it
// (-d), reports it as one JSON document (-j), or writes the data of each
// physical fragment, or of those whose names begin with the text given to -n,
// into a file named after the fragment in the working directory or the
// directory given to -C. Everything, messages included, goes to standard output.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "CFirmwareExtraction.h"
#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "FilePath.h"
#include "Output.h"
#include "Stdout.h"
#include "Text.h"

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

void PrintLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
}

// Opens into `dirfd` the directory fragment files are made in: `dir` when one
// was given (a link to it is followed: the user named it), else the working
// directory. Sets `prefix`, shown before a fragment name in messages: `dir` and
// "/", or the working directory and "/" (nothing when that cannot be determined
// or does not fit). False, after a message, when `dir` cannot be opened.
bool OpenOutputDirectory(const std::string& dir, int& dirfd, std::string& prefix) {
    if (dir.empty()) {
        char cur_path[256];
        if (getcwd(cur_path, sizeof cur_path) != nullptr)
            prefix = std::string(cur_path) + "/";
        dirfd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        return true;
    }
    dirfd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) {
        if (errno == ENOENT)
            std::printf("Directory %s does not exist\n", dir.c_str());
        else if (errno == ENOTDIR)
            std::printf("%s is not a directory\n", dir.c_str());
        else
            std::printf("Unable to open directory %s\n", dir.c_str());
        return false;
    }
    prefix = dir.back() == '/' ? dir : dir + "/";
    return true;
}

int Run(int argc, char** argv) {
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
    while ((opt = getopt(argc, argv, "n:dhjC:V")) != -1) {
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
            case 'V':
                std::printf("imgunpack (fwkit) %s\n", FWKIT_VERSION);
                return 0;
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

    // Every fragment file is made below this one directory, opened once.
    int dirfd = -1;
    std::string prefix;
    if (!displayOnly && !OpenOutputDirectory(dir, dirfd, prefix))
        return 1;

    if (!CFirmwareFile::ReportUnreadable(in))
        return 1;
    if (!displayOnly) {
        CFirmwareExtraction extraction(dirfd, prefix, PrintLine);
        extraction.Select(name);
        return extraction.Run(in);
    }
    CFirmwareFile fw(in);
    const int status = CFirmwareExtraction::SayFailures(fw, in, PrintLine);
    if (fw.NoFragments() == 0)
        return status;
    fw.PrintListing(std::cout);
    std::cout << std::flush;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout("imgunpack", Run(argc, argv));
}
