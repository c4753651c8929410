// CRC-16/ARC: polynomial 0x8005 reflected (0xA001), initial value supplied by
// the caller (0 for every checksum of the firmware format), no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

// Advances `crc` over `len` bytes at `data` and returns the new value.
uint16_t Crc16Arc(uint16_t crc, const uint8_t* data, size_t len);

// The same, one bit at a time: the reference the fast path is checked against.
uint16_t Crc16ArcBitwise(uint16_t crc, const uint8_t* data, size_t len);
