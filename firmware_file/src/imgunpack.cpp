// imgunpack: checks a firmware file, physical or logical, and either lists it
// (-d), reports it as one JSON document (-j), or writes the data of each
// physical fragment, or of those whose names begin with the text given to -n,
// into a file named after the fragment in the working directory or the
// directory given to -C. Everything, messages included, goes to standard output.
#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

// True when `name` below `dirfd` is the file `in` itself (a link there is not
// followed: extraction replaces it).
bool IsInput(const std::string& in, int dirfd, const std::string& name) {
    struct stat input {};
    struct stat st {};
    return fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           stat(in.c_str(), &input) == 0 && input.st_dev == st.st_dev && input.st_ino == st.st_ino;
}

// Writes fragment `i` of `fw` into the file of its name below `dirfd`, which
// messages show as `prefix` + the name; false when it was refused or could
// not be written in full.
bool Extract(CFirmwareFile& fw, unsigned int i, const std::string& in, int dirfd,
             const std::string& prefix) {
    const std::string fragment = fw.GetFragmentName(i);
    if (const char* reason = Core::File::UnsafeNameReason(fragment)) {
        std::printf("Fragment %s not extracted: %s\n", Core::Text::Escaped(fragment).c_str(),
                    reason);
        return false;
    }
    const std::string path = prefix + fragment;
    if (IsInput(in, dirfd, fragment)) {
        std::printf("Fragment %s not extracted: %s is the firmware file being read\n",
                    Core::Text::Escaped(fragment).c_str(), Core::Text::Escaped(path).c_str());
        return false;
    }
    Core::File::Output output(dirfd, fragment);
    const bool opened = output.Open();
    if (!opened && !output.Refusal().empty()) {
        std::printf("Fragment %s not extracted: %s\n", Core::Text::Escaped(fragment).c_str(),
                    Core::Text::Escaped(output.Refusal()).c_str());
        return false;
    }
    if (opened)
        fw.DumpRawFragment(i, output);
    if (opened && fw.DataChanged()) {
        std::printf("Fragment %s not extracted: its data changed while it was read\n",
                    Core::Text::Escaped(fragment).c_str());
        return false;
    }
    if (opened && fw.WriteComplete())
        return true;
    if (output.Error() != 0) {
        std::printf("Unable to write fragment file %s: %s\n", Core::Text::Escaped(path).c_str(),
                    std::strerror(output.Error()));
    } else {
        std::printf("Unable to write fragment file %s\n", Core::Text::Escaped(path).c_str());
    }
    return false;
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
    std::string out;
    int dirfd = -1;
    if (!displayOnly && !OpenOutputDirectory(dir, dirfd, out))
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
        fw.PrintListing(std::cout);
        std::cout << std::flush;
        return status;
    }
    bool matched = false;
    for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
        const std::string fragment = fw.GetFragmentName(i);
        if (strncasecmp(name.c_str(), fragment.c_str(), name.size()) != 0)
            continue;
        matched = true;
        if (!Extract(fw, i, in, dirfd, out))
            status = 1;
    }
    if (!matched) {
        std::printf("No fragment of firmware file %s matches %s\n", in.c_str(), name.c_str());
        status = 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout("imgunpack", Run(argc, argv));
}
