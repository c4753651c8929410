// The random-access byte source and sink every byte of the library moves through.
#pragma once

#include <cstdint>

class CBuffer {
  public:
    virtual ~CBuffer() = default;

    // The byte at `index`; 0 when there is none.
    virtual uint8_t At(uint32_t index) = 0;
    // Number of bytes the buffer holds.
    virtual uint32_t Size() = 0;
    // Copies up to `count` bytes from `index` into `buff`; returns how many were
    // copied, 0 at or past the end or on failure.
    virtual uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) = 0;
    // Appends `size` bytes; returns how many were taken (0 for read-only views).
    virtual uint32_t Write(uint8_t* data, uint32_t size) = 0;
    // Empties the buffer so later writes start a fresh content.
    virtual void Clear() = 0;
};
