// CRC-16/ARC: polynomial 0x8005 reflected (0xA001), initial value supplied by
// the caller (0 for every checksum of the firmware format), no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

// Advances `crc` over `len` bytes at `data` and returns the new value. Uses the
// carry-less multiplication path where the processor has it, the table path otherwise.
uint16_t Crc16Arc(uint16_t crc, const uint8_t* data, size_t len);

// The CRC of two spans A and B back to back, from `crcA` (A's CRC from the caller's
// starting value) and `crcB` (B's CRC from 0) and B's length: spans checksummed apart,
// on two threads say, are joined without reading them again.
uint16_t Crc16ArcCombine(uint16_t crcA, uint16_t crcB, uint64_t lengthB);

// The portable path: eight table lookups per eight bytes (slicing by eight).
uint16_t Crc16ArcTable(uint16_t crc, const uint8_t* data, size_t len);

// True when this build and this processor can run Crc16ArcClmul's folding path.
bool Crc16ArcClmulAvailable();

// The carry-less multiplication path (x86 PCLMULQDQ, 64-bit ARM PMULL): folds 128 bytes
// per step and finishes with the table path. Where it is not available it is the table path.
uint16_t Crc16ArcClmul(uint16_t crc, const uint8_t* data, size_t len);

// The same, one bit at a time: the reference the fast paths are checked against.
uint16_t Crc16ArcBitwise(uint16_t crc, const uint8_t* data, size_t len);
