// Strict readers of command-line values, one per kind of value, for the
// programs that refuse what they cannot store exactly (fwkit, and the package
// options of pkgsign and pkgcheck). The described programs keep reading their
// numbers as strtol does (Core::Number).
//
// Each reader returns an empty string when `text` is a valid value of its kind,
// and otherwise the refusal, naming the value and what is allowed, for the
// caller to put after the option: "--type: '4OO' is not a number from 0 to 65535".
#pragma once

#include <cstdint>
#include <string>

namespace Core {
namespace Parse {

// Decimal digits only (no sign, no blanks, no base prefix), at most `max`.
std::string Unsigned(const std::string& text, uint64_t max, uint64_t& value);
// The same, at least `min`.
std::string Unsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t& value);
// A number on fwkit's command line, from `min` to `max`: decimal digits as
// Unsigned reads them (leading zeros included, so "0620" is 620), or
// hexadecimal digits after "0x" or "0X" ("0x190" is 400). The refusal is
// Unsigned's.
std::string CommandNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value);

// A day of the Gregorian calendar.
struct Date {
    int year = 0;   // 1 to 9999
    int month = 0;  // 1 to 12
    int day = 0;    // 1 to the month's length
};

// "YYYY-MM-DD", a real calendar day.
std::string CalendarDate(const std::string& text, Date& date);
// The UTC day of `seconds` since the epoch.
Date DayOf(int64_t seconds);

// A package version "MAJOR.MINOR.BUILD" (0-255, 0-255, 0-65535), packed as the
// package header stores it.
std::string PackageVersion(const std::string& text, uint32_t& packed);
// A package version as "MAJOR.MINOR.BUILD" or as the packed decimal number.
std::string PackageVersionOrNumber(const std::string& text, uint32_t& packed);

// A package header's "version" value as stored: the packed version as a signed 32-bit
// decimal number. Returns false when `text` is not one.
bool StoredVersion(const std::string& text, uint32_t& packed);

// A UTC time "YYYY-MM-DDTHH:MM:SSZ", as seconds since the epoch.
std::string UtcTime(const std::string& text, int64_t& seconds);
// The UTC time of `seconds` in the same form.
std::string FormatUtcTime(int64_t seconds);

}  // namespace Parse
}  // namespace Core
