#include "CBodyStream.h"

#include <algorithm>

#include "Crc16.h"

namespace {

// Chunks this small stay in the processor's cache between being read, checksummed and
// written.
constexpr uint32_t kChunk = 256u << 10;

}  // namespace

bool CBodyStream::Write(const uint8_t* data, uint32_t size) {
    if (m_output == nullptr || size == 0)
        return true;
    if (m_failed || !m_output->Write(data, size)) {
        m_failed = true;
        return false;
    }
    m_written += size;
    return true;
}

bool CBodyStream::Pass(CBuffer& source, uint32_t index, uint32_t count, uint16_t& crc,
                       uint16_t* outer) {
    m_chunk.resize(std::min(count, kChunk));
    uint32_t done = 0;
    while (done < count) {
        // Chunks end where the output reaches a multiple of the chunk size, so that the
        // writes behind a header start on page boundaries.
        const uint32_t toBoundary = kChunk - static_cast<uint32_t>(m_written % kChunk);
        const uint32_t got =
            source.Copy(index + done, std::min(count - done, toBoundary), m_chunk.data());
        if (got == 0)
            return false;
        crc = Crc16Arc(crc, m_chunk.data(), got);
        if (outer != nullptr)
            *outer = Crc16Arc(*outer, m_chunk.data(), got);
        if (!Write(m_chunk.data(), got))
            return false;
        done += got;
    }
    return true;
}

bool CBodyStream::Put(const std::vector<uint8_t>& bytes, uint16_t& crc) {
    crc = Crc16Arc(crc, bytes.data(), bytes.size());
    return Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool CBodyStream::Reserve(uint32_t count) {
    const std::vector<uint8_t> zeros(count, 0);
    return Write(zeros.data(), count);
}

bool CBodyStream::Pass(CInputFile& source, uint32_t index, uint32_t count, uint16_t& crc,
                       uint16_t* outer) {
    const int64_t base = m_output != nullptr ? m_output->Position() : 0;
    if (count < kChunk || base < 0 || m_failed)
        return Pass(static_cast<CBuffer&>(source), index, count, crc, outer);
    CInputFile::Sink sink;
    if (m_output != nullptr) {
        sink = [this, base](uint32_t at, const uint8_t* data, uint32_t size) {
            return m_output->WriteAt(data, size, static_cast<uint64_t>(base) + at);
        };
    }
    uint16_t span = 0;
    const uint32_t phase = static_cast<uint32_t>(base % kChunk);
    const uint32_t got = source.ReadSpan(index, count, phase, span, sink);
    crc = Crc16ArcCombine(crc, span, got);
    if (outer != nullptr)
        *outer = Crc16ArcCombine(*outer, span, got);
    if (m_output != nullptr) {
        m_written += got;
        const bool placed = m_output->SetPosition(static_cast<uint64_t>(base) + got);
        m_failed = !placed || m_output->Error() != 0;
    }
    return got == count;
}
