#include "Messages.h"

#include <getopt.h>

#include <cstdio>

#include "Text.h"

namespace Messages {

const char* Version() {
    return FWKIT_VERSION;
}

int Complain(const char* program, const std::string& file, const std::string& cause) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", program, Core::Text::Escaped(file).c_str(), cause.c_str());
    return 1;
}

int UsageError(const std::string& command, const std::string& message) {
    if (!message.empty())
        std::fprintf(stderr, "%s: %s\n", command.c_str(), message.c_str());
    std::fprintf(stderr, "Try '%s --help' for more information.\n", command.c_str());
    return 1;
}

int ValueProblem(const std::string& command, const char* option, const std::string& problem) {
    return problem.empty() ? 0 : UsageError(command, std::string(option) + ": " + problem);
}

int OptionError(const std::string& command, int returned, char** argv) {
    const std::string option =
        optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]);
    return UsageError(
        command, (returned == ':' ? "option needs an argument: " : "unknown option: ") + option);
}

}  // namespace Messages
