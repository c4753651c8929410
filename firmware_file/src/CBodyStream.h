// Moves bytes from a source buffer to an output in one pass, the CRC advanced over each
// chunk between its read and its write, so that the CRC covers exactly the bytes written.
// Without an output it only reads and checksums (the first pass where a header must be
// written before the body and cannot be filled in afterwards).
#pragma once

#include <cstdint>
#include <vector>

#include "CBuffer.h"
#include "CInputFile.h"
#include "Output.h"

class CBodyStream {
  public:
    explicit CBodyStream(Core::File::Output* output) : m_output(output) {}

    // Advances `crc` (and `outer`, when given) over the `count` bytes at `index` of
    // `source` and writes them. False when the source delivered fewer bytes or the
    // output refused them; the bytes that were delivered still count in the CRCs.
    bool Pass(CBuffer& source, uint32_t index, uint32_t count, uint16_t& crc,
              uint16_t* outer = nullptr);
    // The same from a file. Into an output that takes bytes at offsets (or none), the
    // span is read once, as two halves on two threads when it is large, each chunk
    // checksummed and written at its place from the thread that read it.
    bool Pass(CInputFile& source, uint32_t index, uint32_t count, uint16_t& crc,
              uint16_t* outer = nullptr);
    // Advances `crc` over bytes held in memory and writes them.
    bool Put(const std::vector<uint8_t>& bytes, uint16_t& crc);
    // Writes `count` zero bytes, the place of a header filled in last.
    bool Reserve(uint32_t count);

    // Bytes the output took.
    uint64_t Written() const { return m_written; }
    // True once the output refused bytes.
    bool Failed() const { return m_failed; }

  private:
    bool Write(const uint8_t* data, uint32_t size);

    Core::File::Output* m_output;
    std::vector<uint8_t> m_chunk;
    uint64_t m_written = 0;
    bool m_failed = false;
};
