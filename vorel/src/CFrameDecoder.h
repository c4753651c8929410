// Rebuilds an image from the payload of an encoded package: independent zstd
// frames one after the other, each of at most kMaxFrameSize bytes of output,
// each (for a delta) referencing the whole base image as its prefix. The base
// is the caller's bytes (typically the base file read whole, CMappedFile);
// the decoder never copies it. Its own
// memory is one frame's output buffer, no larger than the image (two, which
// frames alternate in, when the image has several frames and memory allows),
// and zstd's decoder state: it grows neither with the image nor with the base, whatever
// the payload claims (a frame that would exceed the buffer does not decode).
//
//   CFrameDecoder decoder;
//   decoder.Begin(base, baseSize, targetSize);
//   while (... payload bytes ...)
//       if (!decoder.Feed(bytes, count, sink)) break;
//   if (decoder.End()) ... every frame decoded whole ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

struct ZSTD_DCtx_s;

class CFrameDecoder {
  public:
    // The most output one frame may give, and so the decoder's buffer.
    static constexpr size_t kMaxFrameSize = size_t{32} << 20;
    // Gets the image's bytes in order, as they are decoded; false stops.
    using Sink = std::function<bool(const uint8_t* data, size_t size)>;

    CFrameDecoder();
    ~CFrameDecoder();
    CFrameDecoder(const CFrameDecoder&) = delete;
    CFrameDecoder& operator=(const CFrameDecoder&) = delete;

    // Starts a payload whose frames reference the `baseSize` bytes at `base`
    // (none for a compressed image) and give `targetSize` bytes in all: the
    // buffer is the smaller of that and kMaxFrameSize. False when memory is short.
    bool Begin(const uint8_t* base, size_t baseSize, uint64_t targetSize);
    // Called before a frame's output overwrites a buffer: whoever still reads
    // bytes the sink was given from it must be done then. `previousFrame`:
    // the buffer holds the frame just ended (one buffer), else the one before.
    void BeforeReuse(std::function<void(bool previousFrame)> hook) {
        m_beforeReuse = std::move(hook);
    }
    // Decodes the next `size` payload bytes, handing what they give to `sink`.
    // False once the payload does not decode (Problem() says why) or the sink
    // refused (SinkFailed()); later bytes are then ignored.
    bool Feed(const uint8_t* data, size_t size, const Sink& sink);
    // Ends the payload: true when it ended at the end of a frame and nothing failed.
    bool End();
    const std::string& Problem() const { return m_problem; }
    bool SinkFailed() const { return m_sinkFailed; }

    // The largest window (log2) frames may have on this host; the encoder
    // makes none larger.
    static int WindowLogMax();

  private:
    bool StartFrame();
    bool Fail(const std::string& problem);
    bool HandOn(const Sink& sink);

    ZSTD_DCtx_s* m_context = nullptr;
    const uint8_t* m_base = nullptr;
    size_t m_baseSize = 0;
    // One frame's buffer, and a second one the frames alternate with.
    std::unique_ptr<uint8_t[]> m_buffers[2];
    unsigned m_current = 0;
    size_t m_capacity = 0;
    size_t m_decoded = 0;  // bytes of the current frame in the buffer
    size_t m_handed = 0;   // of those, handed to the sink
    bool m_inFrame = false;
    uint64_t m_frames = 0;
    bool m_failed = false;
    bool m_sinkFailed = false;
    std::string m_problem;
    std::function<void(bool)> m_beforeReuse;
};
