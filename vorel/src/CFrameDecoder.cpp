#include "CFrameDecoder.h"

// ZSTD_d_stableOutBuffer, a parameter of libzstd's advanced API (set through
// the stable ZSTD_DCtx_setParameter): without it the decoder would keep a
// window of base and frame of its own.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <new>

CFrameDecoder::CFrameDecoder() = default;

CFrameDecoder::~CFrameDecoder() {
    ZSTD_freeDCtx(m_context);
}

int CFrameDecoder::WindowLogMax() {
    return ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound;
}

bool CFrameDecoder::Begin(const uint8_t* base, size_t baseSize, uint64_t targetSize) {
    m_base = base;
    m_baseSize = base != nullptr ? baseSize : 0;
    m_decoded = 0;
    m_handed = 0;
    m_inFrame = false;
    m_frames = 0;
    m_failed = false;
    m_sinkFailed = false;
    m_problem.clear();
    const size_t capacity = static_cast<size_t>(std::min<uint64_t>(targetSize, kMaxFrameSize));
    if (m_capacity != capacity || !m_buffers[0]) {
        m_buffers[0].reset(new (std::nothrow) uint8_t[std::max<size_t>(capacity, 1)]);
        m_buffers[1].reset();
        m_capacity = m_buffers[0] ? capacity : 0;
    }
    // An image of several frames gets a second buffer when memory allows, so
    // that a frame decodes while the one before is still being read.
    if (targetSize > capacity && !m_buffers[1] && m_buffers[0])
        m_buffers[1].reset(new (std::nothrow) uint8_t[capacity]);
    m_current = 0;
    if (m_context == nullptr)
        m_context = ZSTD_createDCtx();
    if (!m_buffers[0] || m_context == nullptr)
        return Fail("out of memory");
    // The output buffer stays in place for a whole frame: it is the frame's
    // window, and zstd keeps no copy of its own.
    ZSTD_DCtx_reset(m_context, ZSTD_reset_session_and_parameters);
    const size_t set = ZSTD_DCtx_setParameter(m_context, ZSTD_d_windowLogMax, WindowLogMax());
    const size_t stable = ZSTD_DCtx_setParameter(m_context, ZSTD_d_stableOutBuffer, 1);
    if (ZSTD_isError(set) || ZSTD_isError(stable))
        return Fail("the decoder cannot be set up");
    return true;
}

bool CFrameDecoder::Fail(const std::string& problem) {
    if (!m_failed)
        m_problem = problem;
    m_failed = true;
    return false;
}

// Each frame starts afresh in the buffer, with the base as its prefix.
bool CFrameDecoder::StartFrame() {
    if (m_frames > 0) {
        const bool alternate = m_buffers[1] != nullptr;
        if (alternate)
            m_current ^= 1;
        if (m_beforeReuse)
            m_beforeReuse(!alternate);
    }
    m_decoded = 0;
    m_handed = 0;
    m_inFrame = true;
    ++m_frames;
    if (m_base != nullptr && ZSTD_isError(ZSTD_DCtx_refPrefix(m_context, m_base, m_baseSize)))
        return Fail("the base cannot be used");
    return true;
}

bool CFrameDecoder::HandOn(const Sink& sink) {
    if (m_decoded > m_handed && sink && !sink(m_buffers[m_current].get() + m_handed, m_decoded - m_handed)) {
        m_sinkFailed = true;
        return Fail("the image could not be handed on");
    }
    m_handed = m_decoded;
    return true;
}

bool CFrameDecoder::Feed(const uint8_t* data, size_t size, const Sink& sink) {
    ZSTD_inBuffer in = {data, size, 0};
    while (!m_failed && in.pos < in.size) {
        if (!m_inFrame && !StartFrame())
            return false;
        ZSTD_outBuffer out = {m_buffers[m_current].get(), m_capacity, m_decoded};
        const size_t taken = in.pos;
        const size_t left = ZSTD_decompressStream(m_context, &out, &in);
        if (ZSTD_isError(left))
            return Fail("frame " + std::to_string(m_frames) +
                        " does not decode: " + ZSTD_getErrorName(left));
        if (left != 0 && in.pos == taken && out.pos == m_decoded)
            return Fail("frame " + std::to_string(m_frames) + " gives more than " +
                        std::to_string(m_capacity) + " bytes");
        m_decoded = out.pos;
        if (!HandOn(sink))
            return false;
        if (left == 0)
            m_inFrame = false;
    }
    return !m_failed;
}

bool CFrameDecoder::End() {
    if (!m_failed && m_inFrame)
        Fail("the payload ends inside frame " + std::to_string(m_frames));
    return !m_failed;
}
