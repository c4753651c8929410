// Makes an encoded package from a package made as usual (stamped, perhaps
// signed): its image compressed with zstd ("encoding: zstd") or, given the
// base image the device already has, compressed against it ("zstd-delta").
// The package is checked first (a well-formed, unencoded package whose image
// matches its header); its lines stay, the filesize, md5 and sha256 lines
// then describe the payload, and the target lines the image it rebuilds.
// With a chunk size the index of that image is computed in the same pass
// that checks it, and named by the index lines (Index() is the attachment).
//
// The image is cut into independent frames of at most Settings::frameSize
// bytes of output, so that a device rebuilds it with one frame's buffer
// (CFrameDecoder); each frame of a delta references the whole base as its
// prefix, with long-distance matching and a window that spans base and frame.
// A delta's frame that holds much new data is searched a second time more
// closely (Search). Frames are compressed on up to Settings::threads threads,
// each taking the next frame no thread has taken yet. The payload is
// held in memory until it is written.
//
//   CPackageEncoder encoder;
//   if (encoder.Encode("new.pkg", "old.img") == PackageError::Ok) {
//       const std::string block = encoder.Header().Compose(encoder.PayloadSha256(), "");
//       ... write block, then encoder.Payload() ...
//   }
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CFrameDecoder.h"
#include "CPackageHeader.h"

struct ZSTD_CCtx_s;

class CPackageEncoder {
  public:
    struct Settings {
        // zstd's compression level; 0: by size, kSmallLevel while base and
        // image together are at most kSmallInput bytes, else kLargeLevel (every
        // frame indexes the whole base again, which higher levels make slow)
        int level = 0;
        size_t frameSize = CFrameDecoder::kMaxFrameSize;  // output per frame, at most that
        int windowLogMax = 30;  // the largest window (log2); 30 every host decodes
        unsigned threads = 2;
        // The chunk size of a chunk index of the image the package rebuilds
        // (CChunkIndex); 0: the input's own index-chunk, if it names one, else none.
        uint64_t chunk = 0;
    };

    CPackageEncoder() = default;
    explicit CPackageEncoder(const Settings& settings) : m_settings(settings) {}

    // Encodes the package file `package` against the base image file `base`
    // (empty: compressed alone). Ok; ReadFailed when the package or the base
    // cannot be read, NotAPackage, ImageMismatch, AlreadyEncoded (its payload
    // is encoded already), CompressFailed (zstd refused), TooLarge (the
    // encoded package would reach 4 GiB). Problem() says why, Culprit() which
    // input it is about.
    PackageError Encode(const std::string& package, const std::string& base);
    const std::string& Problem() const { return m_problem; }
    PackageInput Culprit() const { return m_culprit; }

    // After Done: the encoded package's lines (no sha256 or signature line;
    // Compose or Sign with PayloadSha256() gives its header block), and the payload.
    const CPackageHeader& Header() const { return m_header; }
    const std::string& PayloadSha256() const { return m_payloadSha256; }
    const std::string& Payload() const { return m_payload; }
    // The chunk index of the image, to be kept beside the package when the
    // header names one (CChunkIndex::Named; an empty image has an empty index).
    const std::string& Index() const { return m_index; }

    // The range of Settings the encoder takes: level, frame size, window.
    static int MinLevel();
    static int MaxLevel();
    static constexpr size_t kMinFrameSize = size_t{1} << 20;
    static constexpr int kSmallLevel = 9;
    static constexpr int kLargeLevel = 3;
    static constexpr uint64_t kSmallInput = uint64_t{128} << 20;
    static int MaxWindowLog();

    // How one frame is searched: the level's own search, or (closer) lazy
    // matching with short matches, tried again on a delta's frame whose first
    // result exceeds 1/kCloserSearchShare of its bytes.
    struct Search {
        int level;
        int windowLog;
        bool delta;
        bool closer;
    };
    static constexpr size_t kCloserSearchShare = 64;

  private:
    // The image being cut into frames, and the frames made so far.
    struct Frames {
        const uint8_t* image = nullptr;
        size_t size = 0;
        const uint8_t* base = nullptr;
        size_t baseSize = 0;
        size_t frameSize = 0;
        std::atomic<size_t> next{0};  // the first frame no thread has taken
        std::vector<std::string> out;
    };

    PackageError Fail(PackageError error, const std::string& problem,
                      PackageInput culprit = PackageInput::Package);
    bool Compress(const uint8_t* image, size_t size, const uint8_t* base, size_t baseSize);
    bool CompressFrames(Frames& frames);
    static bool CompressFrame(ZSTD_CCtx_s* context, const Search& search, const Frames& frames,
                              size_t at, size_t length, std::string& frame);
    void Describe(const std::string& encoding, const std::string& baseSha256);
    // The chunk size to index at (0: none); false after Fail for a malformed
    // index-chunk of the input.
    bool IndexChunk(uint64_t& chunk);

    Settings m_settings;
    std::string m_problem;
    PackageInput m_culprit = PackageInput::None;
    CPackageHeader m_header;
    std::string m_payload;
    std::string m_payloadSha256;
    std::string m_index;
};
