#include "PackageCommand.h"

#include <cstdio>

#include "Messages.h"
#include "Stdout.h"

namespace PackageCommand {

namespace {

// Whether `c` is one of the caller's own options.
bool Declared(const Caller& caller, int c) {
    for (const option& o : caller.longOptions) {
        if (o.val == c)
            return true;
    }
    return c > 0 && c < 256 && caller.letters.find(static_cast<char>(c)) != std::string::npos;
}

}  // namespace

int ReadOptions(int argc, char** argv, const Caller& caller, const std::string& letters,
                std::vector<option> longOptions, const std::function<int(int c)>& take) {
    const bool version = !caller.version.empty();
    longOptions.push_back({"help", no_argument, nullptr, 'h'});
    if (version)
        longOptions.push_back({"version", no_argument, nullptr, 'V'});
    longOptions.insert(longOptions.end(), caller.longOptions.begin(), caller.longOptions.end());
    longOptions.push_back({nullptr, 0, nullptr, 0});
    // ':' first: getopt_long stays quiet, and a missing argument is told apart.
    const std::string shortOptions = ":" + letters + "h" + (version ? "V" : "") + caller.letters;
    int c = 0;
    opterr = 0;
    while ((c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1) {
        if (c == 'h' || (c == 'V' && version)) {
            std::fputs((c == 'h' ? caller.help : caller.version).c_str(), stdout);
            return -1;
        }
        if (c == ':' || c == '?')
            return Messages::OptionError(caller.command, c, argv);
        if (caller.take && Declared(caller, c) && caller.take(c))
            continue;
        if (take(c) != 0)
            return 1;
    }
    return 0;
}

std::string OutputPath(const std::string& operand) {
    return Core::SeparateFromMessages(operand == "-" ? "/dev/stdout" : operand);
}

}  // namespace PackageCommand
