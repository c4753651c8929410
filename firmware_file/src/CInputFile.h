// A file read through one descriptor: opened once, measured once, and read with pread
// through two small read-ahead windows (one usually follows the headers, the other the
// bodies). The size measured at open is the input's size for the object's whole life; a
// read that ends before it means the file shrank underneath, which Changed() then reports.
// The buffer is read only: Write takes nothing and Clear does nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "CFileBuffer.h"

class CInputFile : public CFileBuffer {
  public:
    enum class State { Readable, Unreadable, NotRegular, Empty };

    // Opens `name` without waiting on a FIFO or a device, and refuses anything that is
    // not a regular file.
    explicit CInputFile(std::string name);
    ~CInputFile() override;
    CInputFile(const CInputFile&) = delete;
    CInputFile& operator=(const CInputFile&) = delete;

    State GetState() const { return m_state; }
    // The size measured at open, in full (it may exceed what 32-bit positions reach).
    uint64_t FileSize() const { return m_size; }

    uint8_t At(uint32_t index) override;
    // The measured size, cut to 32 bits at UINT32_MAX.
    uint32_t Size() override;
    // Copies up to `count` bytes from `index`, never past the measured size.
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    uint32_t Write(uint8_t* data, uint32_t size) override;
    void Clear() override;
    // A span of some megabytes is checksummed as two halves on two threads.
    uint32_t Checksum(uint32_t index, uint32_t count, uint16_t& crc) override;

    // What a span read by ReadSpan is handed to, chunk by chunk: `at` is the chunk's
    // offset from the span's start. Called from two threads at once; false stops the
    // half that chunk belongs to.
    using Sink = std::function<bool(uint32_t at, const uint8_t* data, uint32_t size)>;
    // Reads the `count` bytes at `index` once, a span of some megabytes as two halves
    // on two threads, handing each chunk to `sink` when there is one; chunks end where
    // `phase` plus their end is a multiple of 256 KiB (a writer's page boundaries).
    // Returns how many bytes were read and taken in one stretch from `index`, with their
    // CRC from 0 in `crc`: fewer when the file ends before its measured size (it then
    // counts as changed) or the sink refused.
    uint32_t ReadSpan(uint32_t index, uint32_t count, uint32_t phase, uint16_t& crc,
                      const Sink& sink);

    // True once a read found fewer bytes than the measured size promised, or the file
    // found on reopening was not the one measured.
    bool Changed() const { return m_changed; }
    // True when the file was written to (its size or modification time moved) or
    // replaced since it was measured, as far as the file system tells.
    bool Modified() const;
    // True when the file holds no byte past the measured size (a file that grew has
    // changed too); a file that could not be opened reads as empty and ends at once.
    bool EndsAtSize();
    // Gives the descriptor and the windows back. The next read opens the file again by
    // its name, and a different file, or one of another size or age, counts as changed.
    void Release();

  private:
    struct Window {
        std::vector<uint8_t> bytes;
        uint64_t start = 0;
        uint32_t length = 0;
        uint64_t used = 0;  // when the window last served a read
    };

    bool Open(bool again);
    // True when the descriptor is open, after opening a released file again.
    bool Ready();
    // Reads `count` bytes at `index` straight into `buff`; short only at the end of the
    // file or on an error, either of which marks the input changed.
    uint32_t ReadAt(uint64_t index, uint32_t count, uint8_t* buff);
    const Window* WindowFor(uint64_t index, uint32_t count);

    int m_fd = -1;
    State m_state = State::Unreadable;
    uint64_t m_size = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    int64_t m_modified = 0;  // nanoseconds
    bool m_changed = false;
    // Made on the first read that needs them, given back by Release: an input waiting
    // for its turn in a build holds none.
    std::unique_ptr<Window[]> m_windows;
    uint64_t m_clock = 0;
};
