// What every fwkit subcommand shares: its messages ("fwkit: FILE: reason" on standard
// error), the strict reading of option values (a refusal names the option, the value
// and the allowed range), standard input and output as "-", and the common options.
#pragma once

#include <getopt.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "Parse.h"

namespace Cli {

constexpr char kProgram[] = "fwkit";

// A subcommand: parses its own command line (argv[0] is its name) and returns the
// exit status.
struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

// The subcommands, in the order `fwkit --help` lists them.
const std::vector<Command>& Commands();

// Options every subcommand takes besides its own.
struct Common {
    bool quiet = false;
    int progress = -1;  // 1 forced, 0 never, -1 when standard error is a terminal
};

// Long options of Common, to be appended to a subcommand's table: they return these
// values from getopt_long, far above those of the package commands' own long-only
// options (from 256), beside which fwkit sign and check take them.
enum CommonOption { kProgress = 0x1000, kNoProgress, kJson };

// The long options of Common, alone.
std::vector<option> CommonOptions();
// The long options of a subcommand: its own, then the common ones and the end mark.
std::vector<option> LongOptions(std::initializer_list<option> own);
// The help lines of the common options, their descriptions from `column` on, as
// the subcommand's own options have them.
std::string CommonHelp(size_t column = 22);

// Applies a common option `c`; false when `c` is none of them.
bool TakeCommon(int c, Common& common);

// Prints "fwkit: FILE: reason" on standard error; returns 1.
int Complain(const std::string& file, const std::string& reason);
// Prints "fwkit: SUBCOMMAND: message" and the hint to --help; returns 1.
int UsageError(const char* subcommand, const std::string& message);
// The usage error for what getopt_long returned as ':' or '?'; returns 1.
int OptionError(const char* subcommand, int returned, char** argv);
// Reads the subcommand's options with getopt_long (diagnostics off, ':' first) from
// the start of its arguments.
int NextOption(int argc, char** argv, const char* shortOptions, const option* longOptions);

// Strict values, read by the readers of Core::Parse. Each prints the refusal after the
// option ("fwkit: --type: '4OO' is not a number from 400 to 65535") and returns false
// when `text` is not a value of its kind.
bool Number(const char* option, const char* text, uint64_t min, uint64_t max, uint32_t& value);
// A day as YYYY-MM-DD, a real one.
bool CalendarDate(const char* option, const char* text, Core::Parse::Date& date);
// The day SOURCE_DATE_EPOCH names when it is set, otherwise today, in UTC.
bool DefaultDate(Core::Parse::Date& date);
// A package version MAJOR.MINOR.BUILD other than 0.0.0, packed.
bool PackageVersion(const char* option, const char* text, uint32_t& packed);
// A fragment name: 1 to 255 bytes, as the header stores them.
bool FragmentName(const char* option, const std::string& text);

// Standard input, copied once into an unnamed temporary file when an operand is "-":
// the formats are read at any offset and measured before they are read. Returns the
// path to read `operand` from, or empty after a message.
std::string InputPath(const std::string& operand);
// The name of the file to write `operand` to: "-" is /dev/stdout. Empty after a
// message when standard output is a terminal, which binary data would only garble.
std::string OutputName(const std::string& operand);
// The path to write `operand` to: "-" is standard output, and every line printed
// then goes to standard error. Called once per output. Empty after a message when
// standard output is a terminal, which binary data would only garble.
std::string OutputPath(const std::string& operand);

}  // namespace Cli
