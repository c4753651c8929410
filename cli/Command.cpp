#include "Command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "FilePath.h"
#include "Messages.h"
#include "Progress.h"
#include "Stdout.h"

namespace Cli {

namespace {

// The descriptor standard input was copied into, once; -1 until then.
int g_spooled = -1;

bool Refuse(const char* option, const std::string& refusal) {
    if (refusal.empty())
        return true;
    Progress::Clear();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, option, refusal.c_str());
    return false;
}

// Copies standard input into an unnamed file in the temporary directory; -1 with
// errno set when it cannot.
int Spool() {
    const char* dir = std::getenv("TMPDIR");
    const int fd =
        open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = Core::File::ReadSome(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0)
            return fd;
        if (got < 0 || write(fd, chunk, static_cast<size_t>(got)) != got) {
            const int error = errno != 0 ? errno : EIO;
            close(fd);
            errno = error;
            return -1;
        }
    }
}

}  // namespace

std::string CommonHelp(size_t column) {
    const char* const kLines[][2] = {
        {"  -q, --quiet", "print nothing but errors"},
        {"      --progress", "show progress on standard error even when it is not a terminal"},
        {"      --no-progress", "never show progress"},
        {"  -h, --help", "print this help and exit"}};
    std::string help;
    for (const auto& line : kLines) {
        const std::string option = line[0];
        help += option + std::string(column > option.size() ? column - option.size() : 1, ' ') +
                line[1] + "\n";
    }
    return help;
}

std::vector<option> CommonOptions() {
    return {{"quiet", no_argument, nullptr, 'q'},
            {"progress", no_argument, nullptr, kProgress},
            {"no-progress", no_argument, nullptr, kNoProgress}};
}

std::vector<option> LongOptions(std::initializer_list<option> own) {
    std::vector<option> options(own);
    for (const option& common : CommonOptions())
        options.push_back(common);
    options.push_back({"help", no_argument, nullptr, 'h'});
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

bool TakeCommon(int c, Common& common) {
    switch (c) {
        case 'q':
            common.quiet = true;
            return true;
        case kProgress:
            common.progress = 1;
            return true;
        case kNoProgress:
            common.progress = 0;
            return true;
        default:
            return false;
    }
}

int Complain(const std::string& file, const std::string& reason) {
    Progress::Clear();
    return Messages::Complain(kProgram, file, reason);
}

int UsageError(const char* subcommand, const std::string& message) {
    Progress::Clear();
    return Messages::UsageError(std::string(kProgram) + " " + subcommand, message);
}

int OptionError(const char* subcommand, int returned, char** argv) {
    return Messages::OptionError(std::string(kProgram) + " " + subcommand, returned, argv);
}

int NextOption(int argc, char** argv, const char* shortOptions, const option* longOptions) {
    opterr = 0;
    return getopt_long(argc, argv, shortOptions, longOptions, nullptr);
}

bool Number(const char* option, const char* text, uint64_t min, uint64_t max, uint32_t& value) {
    uint64_t read = 0;
    if (!Refuse(option, Core::Parse::CommandNumber(text, min, max, read)))
        return false;
    value = static_cast<uint32_t>(read);
    return true;
}

bool CalendarDate(const char* option, const char* text, Core::Parse::Date& date) {
    return Refuse(option, Core::Parse::CalendarDate(text, date));
}

bool DefaultDate(Core::Parse::Date& date) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr) {
        date = Core::Parse::DayOf(static_cast<int64_t>(std::time(nullptr)));
        return true;
    }
    uint64_t seconds = 0;
    // 253402300799 is 9999-12-31T23:59:59Z, the last second a date can name.
    if (!Refuse("SOURCE_DATE_EPOCH", Core::Parse::Unsigned(epoch, 253402300799u, seconds)))
        return false;
    date = Core::Parse::DayOf(static_cast<int64_t>(seconds));
    return true;
}

bool PackageVersion(const char* option, const char* text, uint32_t& packed) {
    if (!Refuse(option, Core::Parse::PackageVersion(text, packed)))
        return false;
    return packed != 0 || Refuse(option, "'0.0.0' is no version; a package needs a real one");
}

bool FragmentName(const char* option, const std::string& text) {
    if (!text.empty() && text.size() <= 255)
        return true;
    return Refuse(option, "'" + text + "' is not a name of 1 to 255 bytes");
}

std::string InputPath(const std::string& operand) {
    if (operand != "-")
        return operand;
    if (g_spooled >= 0) {
        Complain("-", "standard input can be read only once");
        return "";
    }
    g_spooled = Spool();
    if (g_spooled < 0) {
        Complain("-", std::string("cannot keep standard input: ") + std::strerror(errno));
        return "";
    }
    return "/proc/self/fd/" + std::to_string(g_spooled);
}

std::string OutputName(const std::string& operand) {
    if (operand != "-")
        return operand;
    if (isatty(STDOUT_FILENO) != 0) {
        Complain("-", "standard output is a terminal; give a file, or send it down a pipe");
        return "";
    }
    return "/dev/stdout";
}

std::string OutputPath(const std::string& operand) {
    const std::string name = OutputName(operand);
    return name.empty() ? name : Core::SeparateFromMessages(name);
}

}  // namespace Cli
