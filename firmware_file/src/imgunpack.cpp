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
#include <utility>
#include <vector>

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

// Where the selected fragments go, and what was said of them and not yet printed.
struct Extraction {
    std::string name;      // fragments whose names begin with it are extracted (-n)
    int dirfd = -1;        // the directory fragment files are made below
    std::string prefix;    // shown before a fragment's name in messages
    struct stat input {};  // the firmware file, never written over
    // True when the parse checked every body; otherwise each body is checked as it is
    // copied, or read when its fragment is not extracted.
    bool bodiesChecked = false;
    std::vector<std::string> lines;
    bool failed = false;     // a fragment was not extracted
    bool extracted = false;  // a fragment file was made, not yet synced
};

enum class Outcome { Extracted, NotExtracted, BodyFailed };

Outcome Refuse(Extraction& x, std::string line) {
    x.lines.push_back(std::move(line));
    return Outcome::NotExtracted;
}

void Flush(Extraction& x) {
    for (const std::string& line : x.lines)
        std::printf("%s\n", line.c_str());
    x.lines.clear();
}

bool Selected(CFirmwareFile& fw, unsigned int i, const std::string& name) {
    return strncasecmp(name.c_str(), fw.GetFragmentName(i).c_str(), name.size()) == 0;
}

// Writes fragment `i` of `fw` into the file of its name below x.dirfd. Refused when
// the file there is the firmware file (a link there is not followed: extraction
// replaces it), and before anything is written when no file can be made beside an
// existing one. New files are synced together once every fragment is written. A body
// that fails its check as it is copied is BodyFailed, unless the firmware file was
// written to meanwhile; a stream takes bytes as they come, so a body bound for one is
// checked before it is sent.
Outcome Extract(CFirmwareFile& fw, unsigned int i, Extraction& x) {
    const std::string fragment = fw.GetFragmentName(i);
    const auto notExtracted = [&](const std::string& why) {
        return Refuse(x, "Fragment " + Core::Text::Escaped(fragment) + " not extracted: " + why);
    };
    const auto path = [&] { return Core::Text::Escaped(x.prefix + fragment); };
    if (const char* reason = Core::File::UnsafeNameReason(fragment))
        return notExtracted(reason);
    Core::File::Output output(x.dirfd, fragment);
    output.Protect(x.input, "the firmware file being read");
    output.DeferSync();
    const bool opened = output.Open() && output.Expect(fw.GetFragment(i)->GetRawDataSize());
    if (opened && !x.bodiesChecked && !output.Seekable() && !fw.BodyIntact(i))
        return Outcome::BodyFailed;
    if (opened)
        fw.DumpRawFragment(i, output);
    if (!output.Clash().empty())
        return notExtracted(path() + " is " + output.Clash());
    if (!opened && !output.Refusal().empty())
        return notExtracted(Core::Text::Escaped(output.Refusal()));
    if (opened && fw.DataChanged()) {
        if (!x.bodiesChecked && !fw.InputModified())
            return Outcome::BodyFailed;
        return notExtracted("its data changed while it was read");
    }
    if (opened && fw.WriteComplete()) {
        x.extracted = true;
        return Outcome::Extracted;
    }
    if (output.Error() != 0)
        return Refuse(x, "Unable to write fragment file " + path() + ": " + output.Cause());
    return Refuse(x, "Unable to write fragment file " + path());
}

// Extracts the selected fragments of `fw` from `first` on. Returns the index of the
// first whose body failed its check, or the number of fragments.
unsigned int ExtractFrom(CFirmwareFile& fw, unsigned int first, Extraction& x) {
    for (unsigned int i = first; i < fw.NoFragments(); ++i) {
        Outcome outcome = Outcome::Extracted;
        if (Selected(fw, i, x.name))
            outcome = Extract(fw, i, x);
        else if (!x.bodiesChecked && !fw.BodyIntact(i))
            outcome = Outcome::BodyFailed;
        if (outcome == Outcome::BodyFailed)
            return i;
        x.failed = x.failed || outcome == Outcome::NotExtracted;
        if (x.bodiesChecked)
            Flush(x);
    }
    return fw.NoFragments();
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

// Says what the parse of `in` found wrong: each failed check and, when no fragment
// passed, that none is valid. Returns the exit status so far.
int SayFailures(CFirmwareFile& fw, const std::string& in) {
    if (fw.ParseComplete())
        return 0;
    const CFirmwareReport report(fw, in, Core::File::FileSize(in));
    for (const std::string& line : report.FailureLines())
        std::printf("%s\n", line.c_str());
    if (fw.NoFragments() == 0)
        std::printf("No valid fragment in firmware file %s\n", in.c_str());
    return 1;
}

// Returns the exit status after saying so when no fragment of `fw` is selected.
int Matched(CFirmwareFile& fw, const std::string& in, const Extraction& x, int status) {
    for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
        if (Selected(fw, i, x.name))
            return status;
    }
    std::printf("No fragment of firmware file %s matches %s\n", in.c_str(), x.name.c_str());
    return 1;
}

// Parses `in` with every check, saying what fails, and extracts its selected
// fragments from `first` on. Returns the exit status.
int ParseAndExtract(const std::string& in, unsigned int first, Extraction& x) {
    x.bodiesChecked = true;
    CFirmwareFile fw(in);
    const int status = SayFailures(fw, in);
    Flush(x);
    if (fw.NoFragments() == 0)
        return status != 0 || x.failed ? 1 : 0;
    ExtractFrom(fw, first, x);
    return Matched(fw, in, x, status != 0 || x.failed ? 1 : 0);
}

// Extracts the selected fragments of `in`. The first parse leaves the bodies to the
// copies that extract them (and reads those it does not), so each byte of the file is
// read once, and what the extraction says waits until every body has passed. When one
// fails the file is damaged, or was changed meanwhile: it is parsed again with every
// check, which says what is wrong before anything else is printed, and extraction goes
// on after the fragments already extracted.
int ExtractAll(const std::string& in, Extraction& x) {
    unsigned int done = 0;
    {
        CFirmwareFile fw(in, CFirmwareFile::Messages::KeepOnly, CFirmwareFile::Bodies::Unchecked);
        if (fw.ParseComplete() && fw.NoFragments() > 0) {
            done = ExtractFrom(fw, 0, x);
            if (done == fw.NoFragments()) {
                Flush(x);
                return Matched(fw, in, x, x.failed ? 1 : 0);
            }
        }
    }
    return ParseAndExtract(in, done, x);
}

// Returns the exit status once the fragment files extracted are on the disk: the
// file system below x.dirfd is synced once for all of them, which costs what one
// file's sync would.
int Synced(const Extraction& x, int status) {
    if (!x.extracted || Core::File::Output::SyncFileSystem(x.dirfd))
        return status;
    std::printf("Unable to write fragment files in %s: %s\n", x.prefix.c_str(),
                std::strerror(errno));
    return 1;
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
    Extraction x;
    x.name = name;
    if (!displayOnly && !OpenOutputDirectory(dir, x.dirfd, x.prefix))
        return 1;

    if (!CFirmwareFile::ReportUnreadable(in))
        return 1;
    if (!displayOnly) {
        stat(in.c_str(), &x.input);
        return Synced(x, ExtractAll(in, x));
    }
    CFirmwareFile fw(in);
    const int status = SayFailures(fw, in);
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
