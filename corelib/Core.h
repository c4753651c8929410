// Core helpers shared by the firmware tools and the package stamper: version
// packing and command-line numbers. The output object (Output.h), file names
// (FilePath.h) and text escaping (Text.h) have files of their own; what a
// program does with its standard output is the programs' (programs/Stdout.h).
#pragma once

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

// Files of 2 to 4 GiB are valid; on 32-bit hosts off_t and struct stat hold
// their sizes only when built with _FILE_OFFSET_BITS=64 (which the fwkit
// targets and fwkit.pc pass on).
static_assert(sizeof(off_t) == 8, "fwkit needs 64-bit file offsets: define _FILE_OFFSET_BITS=64");

namespace Core {

namespace Version {

// Packs a version into one signed 32-bit number: bits 31-24 hold the low 8 bits
// of major, bits 23-16 the low 8 bits of minor, bits 15-0 the low 16 bits of build.
inline int32_t ToNumber(int32_t major, int32_t minor, int32_t build) {
    const uint32_t packed = ((static_cast<uint32_t>(major) & 0xFFu) << 24) |
                            ((static_cast<uint32_t>(minor) & 0xFFu) << 16) |
                            (static_cast<uint32_t>(build) & 0xFFFFu);
    return static_cast<int32_t>(packed);
}

// The three parts of a packed version, as ToNumber stored them.
struct Parts {
    uint32_t major;
    uint32_t minor;
    uint32_t build;
};
inline Parts FromNumber(uint32_t packed) {
    return {packed >> 24, (packed >> 16) & 0xFFu, packed & 0xFFFFu};
}
// A packed version as "MAJOR.MINOR.BUILD".
inline std::string Text(uint32_t packed) {
    const Parts parts = FromNumber(packed);
    return std::to_string(parts.major) + "." + std::to_string(parts.minor) + "." +
           std::to_string(parts.build);
}

}  // namespace Version

namespace Number {

// Reads a command-line number as strtol does in base 10, without checks, and
// clamps it to the signed 32-bit range (strtol's long is 64 bits on some hosts).
inline int32_t ToInt32(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace Number

}  // namespace Core
