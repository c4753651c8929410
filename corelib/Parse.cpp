#include "Parse.h"

#include <cstdio>

#include "Core.h"

namespace Core {
namespace Parse {

namespace {

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// The value of the digit `c` in `base` (10 or 16, either case), or `base` when it is none.
uint64_t DigitValue(char c, uint64_t base) {
    const char lower = static_cast<char>(c | 0x20);
    if (c >= '0' && c <= '9')
        return static_cast<uint64_t>(c - '0');
    if (base == 16 && lower >= 'a' && lower <= 'f')
        return static_cast<uint64_t>(lower - 'a' + 10);
    return base;
}

// Reads the digits of text[at, end) in `base` (decimal by default) into `value`;
// false when there are none, when another character is among them, or when they
// exceed `max`.
bool Digits(const std::string& text, size_t at, size_t end, uint64_t max, uint64_t& value,
            uint64_t base = 10) {
    if (at >= end || end > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < end; ++i) {
        const uint64_t digit = DigitValue(text[i], base);
        if (digit >= base || value > (max - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

std::string NotANumber(const std::string& text, uint64_t min, uint64_t max) {
    return Quoted(text) + " is not a number from " + std::to_string(min) + " to " +
           std::to_string(max);
}

bool IsLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysIn(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromEpoch(int year, int month, int day) {
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The day of the proleptic Gregorian calendar that is `days` after 1970-01-01;
// arithmetic of its own, since a 32-bit time_t ends in 2038.
Date CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

// Reads "YYYY-MM-DD" from the first ten characters of `text`.
bool DatePart(const std::string& text, Date& date) {
    uint64_t year = 0;
    uint64_t month = 0;
    uint64_t day = 0;
    if (text.size() < 10 || text[4] != '-' || text[7] != '-' || !Digits(text, 0, 4, 9999, year) ||
        !Digits(text, 5, 7, 12, month) || !Digits(text, 8, 10, 31, day))
        return false;
    if (year == 0 || month == 0 || day == 0)
        return false;
    if (static_cast<int>(day) > DaysIn(static_cast<int>(year), static_cast<int>(month)))
        return false;
    date = {static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
    return true;
}

}  // namespace

std::string Unsigned(const std::string& text, uint64_t max, uint64_t& value) {
    return Unsigned(text, 0, max, value);
}

std::string Unsigned(const std::string& text, uint64_t min, uint64_t max, uint64_t& value) {
    if (Digits(text, 0, text.size(), max, value) && value >= min)
        return "";
    return NotANumber(text, min, max);
}

std::string CommandNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x';
    if (hex && Digits(text, 2, text.size(), max, value, 16) && value >= min)
        return "";
    if (!hex && Digits(text, 0, text.size(), max, value) && value >= min)
        return "";
    return NotANumber(text, min, max);
}

std::string CalendarDate(const std::string& text, Date& date) {
    if (text.size() == 10 && DatePart(text, date))
        return "";
    return Quoted(text) + " is not a date YYYY-MM-DD (year 0001 to 9999)";
}

Date DayOf(int64_t seconds) {
    return CivilFromDays(FloorDiv(seconds, 86400));
}

std::string PackageVersion(const std::string& text, uint32_t& packed) {
    const size_t first = text.find('.');
    const size_t second = first == std::string::npos ? first : text.find('.', first + 1);
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t build = 0;
    if (second == std::string::npos || !Digits(text, 0, first, 255, major) ||
        !Digits(text, first + 1, second, 255, minor) ||
        !Digits(text, second + 1, text.size(), 65535, build))
        return Quoted(text) +
               " is not a version MAJOR.MINOR.BUILD (0-255, 0-255 and 0-65535)";
    packed = static_cast<uint32_t>(Version::ToNumber(
        static_cast<int32_t>(major), static_cast<int32_t>(minor), static_cast<int32_t>(build)));
    return "";
}

std::string PackageVersionOrNumber(const std::string& text, uint32_t& packed) {
    if (text.find('.') != std::string::npos)
        return PackageVersion(text, packed);
    uint64_t value = 0;
    if (Digits(text, 0, text.size(), UINT32_MAX, value)) {
        packed = static_cast<uint32_t>(value);
        return "";
    }
    return Quoted(text) + " is not a version MAJOR.MINOR.BUILD or a packed number";
}

std::string UtcTime(const std::string& text, int64_t& seconds) {
    Date date;
    uint64_t hour = 0;
    uint64_t minute = 0;
    uint64_t second = 0;
    if (text.size() != 20 || !DatePart(text, date) || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z' || !Digits(text, 11, 13, 23, hour) ||
        !Digits(text, 14, 16, 59, minute) || !Digits(text, 17, 19, 59, second))
        return Quoted(text) + " is not a UTC time YYYY-MM-DDTHH:MM:SSZ";
    seconds = DaysFromEpoch(date.year, date.month, date.day) * 86400 +
              static_cast<int64_t>(hour * 3600 + minute * 60 + second);
    return "";
}

std::string FormatUtcTime(int64_t seconds) {
    const Date date = DayOf(seconds);
    const int64_t inDay = seconds - FloorDiv(seconds, 86400) * 86400;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", date.year, date.month,
                  date.day, static_cast<int>(inDay / 3600), static_cast<int>(inDay / 60 % 60),
                  static_cast<int>(inDay % 60));
    return text;
}

bool StoredVersion(const std::string& text, uint32_t& packed) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t value = 0;
    if (!Unsigned(text.substr(negative ? 1 : 0), negative ? 0x80000000u : INT32_MAX, value)
             .empty())
        return false;
    packed = static_cast<uint32_t>(negative ? 0u - value : value);
    return true;
}

}  // namespace Parse
}  // namespace Core
