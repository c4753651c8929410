// The messages of pkgsign, pkgcheck and fwkit, in one form: "PROGRAM: FILE:
// cause" for a file that cannot be used, "COMMAND: message" and the hint to
// --help for a usage error, both on standard error.
#pragma once

#include <string>

namespace Messages {

// The project's version, as every program gives it.
const char* Version();

// Prints "PROGRAM: FILE: cause" on standard error; returns 1, the status of a
// file that cannot be read or written.
int Complain(const char* program, const std::string& file, const std::string& cause);

// Prints "COMMAND: message" (unless the message is empty) and the hint to
// --help on standard error; returns 1.
int UsageError(const std::string& command, const std::string& message);

// 0 when an option's value was read (`problem` empty), else the usage error
// "COMMAND: OPTION: problem"; returns its status.
int ValueProblem(const std::string& command, const char* option, const std::string& problem);

// The usage error for what getopt_long returned as ':' (a missing argument) or
// '?' (an unknown option), when it was told to stay quiet (opterr = 0 and an
// option string starting with ':'), so that the message names the program as
// every other message does. Returns 1.
int OptionError(const std::string& command, int returned, char** argv);

}  // namespace Messages
