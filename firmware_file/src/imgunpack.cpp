// imgunpack: checks a firmware file, physical or logical, and either lists it
// (-d) or writes the data of each physical fragment, or of those whose names
// begin with the text given to -n, into a file named after the fragment in the
// working directory. Everything, messages included, goes to standard output.
#include <fcntl.h>
#include <getopt.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "CFirmwareFile.h"
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
    return stat(in.c_str(), &input) == 0 &&
           fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           input.st_dev == st.st_dev && input.st_ino == st.st_ino;
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
    if (!opened || !fw.WriteComplete()) {
        std::printf("Unable to write fragment file %s\n", Core::Text::Escaped(path).c_str());
        return false;
    }
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
    std::string name;
    std::string in;
    int opt = 0;
    while ((opt = getopt(argc, argv, "n:dhV")) != -1) {
        switch (opt) {
            case 'd':
                displayOnly = true;
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

    // The working directory as the prefix of every fragment file; relative
    // names when it cannot be determined or does not fit.
    char cur_path[256];
    std::string out;
    if (getcwd(cur_path, sizeof cur_path) != nullptr)
        out = std::string(cur_path) + "/";

    if (!CFirmwareFile::ReportUnreadable(in))
        return 1;
    // Every fragment file is made below this one directory, opened once.
    const int dirfd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    CFirmwareFile fw(in);
    int status = fw.ParseComplete() ? 0 : 1;
    if (fw.NoFragments() == 0) {
        if (status != 0)
            std::printf("No valid fragment in firmware file %s\n", in.c_str());
        return status;
    }
    if (displayOnly) {
        std::cout << fw.ToString() << std::flush;
        return status;
    }
    for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
        const std::string fragment = fw.GetFragmentName(i);
        if (strncasecmp(name.c_str(), fragment.c_str(), name.size()) != 0)
            continue;
        if (!Extract(fw, i, in, dirfd, out))
            status = 1;
    }
    return status;
}
