#include "Crc16.h"

#include <array>

namespace {

constexpr uint16_t kPolyReflected = 0xA001;
constexpr int kSlices = 8;

using Tables = std::array<std::array<uint16_t, 256>, kSlices>;

// tables[0][b] is the CRC step over byte b; tables[k][b] is that of b followed by k zero bytes,
// so eight bytes can be folded in at once (slicing by eight).
constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ kPolyReflected : crc >> 1);
        }
        t[0][b] = crc;
    }
    for (int k = 1; k < kSlices; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint16_t prev = t[k - 1][b];
            t[k][b] = static_cast<uint16_t>((prev >> 8) ^ t[0][prev & 0xFF]);
        }
    }
    return t;
}

constexpr Tables kTables = MakeTables();

}  // namespace

uint16_t Crc16ArcBitwise(uint16_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = ((crc ^ b) & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (carry)
                crc ^= kPolyReflected;
            b = static_cast<uint8_t>(b >> 1);
        }
    }
    return crc;
}

uint16_t Crc16Arc(uint16_t crc, const uint8_t* data, size_t len) {
    const auto& t = kTables;
    while (len >= kSlices) {
        const uint32_t lo = static_cast<uint32_t>(crc ^ (data[0] | (data[1] << 8)));
        crc =
            static_cast<uint16_t>(t[7][lo & 0xFF] ^ t[6][lo >> 8] ^ t[5][data[2]] ^ t[4][data[3]] ^
                                  t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]]);
        data += kSlices;
        len -= kSlices;
    }
    while (len-- > 0)
        crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF]);
    return crc;
}
