// The random-access byte source and sink every byte of the library moves through.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Crc16.h"

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

    // Advances `crc` over the `count` bytes at `index`; returns how many the buffer
    // delivered, fewer at its end or on a failure. A buffer that can read one span on
    // two threads at once does so.
    virtual uint32_t Checksum(uint32_t index, uint32_t count, uint16_t& crc) {
        // Reads of this size still fit the processor's second-level cache.
        std::vector<uint8_t> chunk(std::min(count, kChecksumChunk));
        uint32_t done = 0;
        while (done < count) {
            const uint32_t want = std::min(count - done, kChecksumChunk);
            const uint32_t got = Copy(index + done, want, chunk.data());
            if (got == 0)
                break;
            crc = Crc16Arc(crc, chunk.data(), got);
            done += got;
        }
        return done;
    }

  private:
    static constexpr uint32_t kChecksumChunk = 1u << 20;
};
