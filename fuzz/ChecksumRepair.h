// Puts right the checksums of fragment headers in fuzzer input, so that
// mutated lengths, offsets and counts get past the CRC checks and reach the
// code that acts on them. The fields themselves are left as they are.
#pragma once

#include <cstdint>
#include <vector>

#include "CFirmwareFragment.h"

namespace fuzz {

namespace repair {

inline uint32_t Le(const std::vector<uint8_t>& bytes, uint64_t at, unsigned width) {
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
        if (at + i < bytes.size())
            value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

inline void Put16(std::vector<uint8_t>& bytes, uint64_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

inline uint16_t Crc(const std::vector<uint8_t>& bytes, uint64_t at, uint64_t length) {
    uint16_t crc = 0;
    CFirmwareFragment::UpdateCRC16(bytes.data() + at, static_cast<uint32_t>(length), crc);
    return crc;
}

}  // namespace repair

// Rewrites the body CRC (when the body lies inside `bytes`) and then the header
// CRC of the header at `at`. Returns its stored length, or 0 when the header
// does not fit or cannot hold its name.
inline uint32_t RepairHeader(std::vector<uint8_t>& bytes, uint64_t at) {
    using namespace repair;
    if (at + 9 > bytes.size())
        return 0;
    const uint32_t hl = Le(bytes, at, 2);
    const uint32_t n = bytes[at + 8];
    if (hl < n + 39 || at + hl > bytes.size())
        return 0;
    const uint64_t bodyLength = Le(bytes, at + 9 + n, 4);
    const uint64_t bodyOffset = Le(bytes, at + 15 + n, 4);
    if (bodyOffset + bodyLength <= bytes.size())
        Put16(bytes, at + 13 + n, Crc(bytes, bodyOffset, bodyLength));
    Put16(bytes, at + 21 + n, 0);
    Put16(bytes, at + 21 + n, Crc(bytes, at, hl));
    return hl;
}

// Repairs a logical header at 0 and the physical headers it announces, which
// lie back to back from its body offset: the physical ones first, since the
// logical body CRC covers them. For a physical file only the header at 0 is
// repaired (its extension bytes are then taken for a count as well, as a
// plain header decoded as logical would be).
inline void RepairChecksums(std::vector<uint8_t>& bytes) {
    using namespace repair;
    if (bytes.size() < 9)
        return;
    const uint32_t n = bytes[8];
    uint64_t position = Le(bytes, 15 + n, 4);
    const uint32_t count = Le(bytes, 40 + n + 4, 2);
    for (uint32_t k = 0; k < count && position < bytes.size(); ++k) {
        const uint32_t hl = RepairHeader(bytes, position);
        if (hl == 0)
            break;
        position += hl;
    }
    RepairHeader(bytes, 0);
}

}  // namespace fuzz
