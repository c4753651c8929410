// Checks a package as its bytes arrive (a download read from a socket or a
// pipe), in chunks of any size, with memory that grows neither with the image
// nor with the chunking: the header block (at most CPackageHeader::kMaxSize)
// and the digest's blocks.
//
// The header is read strictly and judged (CPackageTrust: form, signatures,
// policy) as soon as its empty line has arrived, before a byte of the image is
// handed on; a header that fails stops the stream and the sink sees nothing.
// Then each image block goes to the sink, never more than the header's
// filesize in all, while its MD5 and SHA-256 are computed. Finish says whether
// the image's size and both digests match the header.
//
// An encoded package (CPackageHeader::Encoding) is checked the same way, its
// payload against filesize, md5 and sha256, and its payload is decoded on
// the way (CFrameDecoder): the sink gets the image it rebuilds, never more
// than target-filesize, whose size, MD5 and SHA-256 must match the target
// lines. A delta needs its base (SetBase): once the header is accepted, the
// base's SHA-256 must be base-sha256, else the stream stops with BaseMismatch
// before a byte reaches the sink. That digest runs on a thread of its own
// while the first frames decode and are digested; what they give waits in the
// decoder's buffers until the base has matched.
//
// A package whose header names a chunk index (CChunkIndex) is checked chunk
// by chunk when the stream is given a way to fetch it (SetAttachments): once
// the header is accepted the index is fetched and checked against the header,
// and each chunk of the image is held until its SHA-256 matched the index,
// then handed on; the first chunk that does not match stops the stream with
// ImageMismatch before a byte of it reaches the sink. Without that way the
// index is not read and the package is checked as any other.
//
//   CPackageStream stream;
//   stream.AddKey(CEd25519Key::FromPem(publicPem));
//   stream.SetImageSink([&](const uint8_t* data, size_t size) { return Flash(data, size); });
//   while (... got bytes ...)
//       if (stream.Feed(bytes, count) != PackageError::Ok) break;
//   if (stream.Finish().error == PackageError::Ok) ... mark the image bootable ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CChunkIndex.h"
#include "CEd25519Key.h"
#include "CFrameDecoder.h"
#include "CPackageHeader.h"
#include "CPackageTrust.h"
#include "PackageError.h"

class CImageDigest;

class CPackageStream {
  public:
    // Gets each block of the image in turn; false stops the stream with WriteFailed.
    using ImageSink = std::function<bool(const uint8_t* data, size_t size)>;
    // Told the image bytes handed on so far and the image's size (filesize, or
    // target-filesize of an encoded package): once when the header is accepted
    // (done 0), then after each block.
    using Progress = std::function<void(uint64_t done, uint64_t total)>;
    // Told the image's size once the header (and a delta's base) is accepted,
    // before a byte of the image is handed on; false stops the stream with
    // WriteFailed, so that a destination that cannot take the image is never
    // handed a byte of it.
    using Start = std::function<bool(uint64_t total)>;

    // Fetches the attachment of `kind` the header names, at most `maxSize`
    // bytes, into `data`; anything but Ok stops the stream with that error,
    // `problem` saying why (its file, its URL).
    using Attachments = std::function<PackageError(const std::string& kind, uint64_t maxSize,
                                                   std::string& data, std::string& problem)>;

    struct Item {
        std::string name;      // "filesize", "md5", "sha256", "base-sha256" or "target-..."
        std::string stored;    // the header's value
        std::string computed;  // what the image gives
        bool ok = false;
    };

    struct Result {
        PackageError error = PackageError::Ok;      // the first failing check, in the order below
        std::string problem;                        // why it is not a package
        std::vector<CPackageHeader::Line> headers;  // in stored order
        // base-sha256 of a delta; filesize, md5, then sha256 when stored or when
        // a signature is checked with a key; then target-filesize, target-md5
        // and target-sha256 of an encoded package. Empty when the header was
        // refused; only base-sha256 when the base was.
        std::vector<Item> checks;
        CPackageTrust::Verdict trust;  // the judgement of the header, when it was read
        std::string md5;     // of the image (the payload) as read, whatever the header says
        std::string sha256;  // likewise
    };

    CPackageStream();
    ~CPackageStream();
    CPackageStream(const CPackageStream&) = delete;
    CPackageStream& operator=(const CPackageStream&) = delete;

    // A key a signature may be made with; with one or more, a signature is required.
    void AddKey(const CEd25519Key& key) { m_trust.AddKey(key); }
    // What the header must satisfy before the image is handed on.
    CPackageTrust& Trust() { return m_trust; }
    const CPackageTrust& Trust() const { return m_trust; }
    void SetImageSink(ImageSink sink) { m_sink = std::move(sink); }
    void SetProgress(Progress progress) { m_progress = std::move(progress); }
    void SetStart(Start start) { m_start = std::move(start); }
    void SetAttachments(Attachments attachments) { m_attachments = std::move(attachments); }
    // The base image a delta is decoded against: `size` bytes at `data`, which
    // stay the caller's and unchanged until the package is finished (null: none).
    void SetBase(const uint8_t* data, size_t size) {
        m_base = data;
        m_baseSize = data != nullptr ? size : 0;
    }
    // Checks the payload of an encoded package as stored (filesize, md5,
    // sha256), neither decoding it nor needing its base; the sink gets the
    // payload. For a signer, who signs what is stored.
    void SetPayloadOnly(bool payloadOnly) { m_payloadOnly = payloadOnly; }

    // Forgets the package fed so far: the next byte fed is a package's first.
    void Reset();
    // Takes the next `size` bytes. Returns Ok while the package may still pass;
    // once it cannot (NotAPackage, a refused header, WriteFailed), that error,
    // and later bytes are ignored.
    PackageError Feed(const void* data, size_t size);
    // Room for the next bytes, to be filled in place of Feed: up to `room`
    // bytes at the pointer returned, then Commit(count). Null once failed.
    uint8_t* Space(size_t& room);
    PackageError Commit(size_t count);
    // Ends the package: a header still incomplete is not one, and the image is
    // compared with the header. The result stays until Reset.
    const Result& Finish();
    // Ends the package with a failure of the caller's (ReadFailed when its
    // source failed part way), unless a check has already failed.
    // `problem` says why, in the result's problem.
    const Result& Abandon(PackageError error, const std::string& problem = std::string());

    const Result& GetResult() const { return m_result; }

  private:
    enum class Phase { Header, Image, Failed, Finished };

    PackageError Fail(PackageError error);
    PackageError TakeHeader(size_t count);
    PackageError DecideHeader();
    PackageError HandOn();
    bool Started();
    PackageError CheckBase();
    bool VerifyBase();
    bool TakeTarget(const uint8_t* data, size_t size);
    bool HandHeld();
    bool HandTarget(const uint8_t* data, size_t size);
    void CompareImage();
    PackageError TakeIndex();
    // Hands image bytes to the sink, through the chunk window with an index.
    bool Deliver(const uint8_t* data, size_t size);
    // Checks the chunk in the window and hands it on.
    bool DeliverChunk();
    // Why the sink's side stopped: a chunk that did not match, or the sink.
    PackageError SinkError() const;
    void CompareTarget();

    CPackageTrust m_trust;
    ImageSink m_sink;
    Progress m_progress;
    Start m_start;
    Attachments m_attachments;
    Result m_result;
    Phase m_phase = Phase::Header;

    // The header block as it arrives; allocated when first needed.
    std::unique_ptr<uint8_t[]> m_headerBytes;
    size_t m_headerFill = 0;
    CPackageHeader m_header;

    // The image: the digest's block being filled, bytes handed on and digested.
    std::unique_ptr<CImageDigest> m_digest;
    uint8_t* m_block = nullptr;
    size_t m_blockFill = 0;
    uint64_t m_handedOn = 0;

    // An encoded payload's decoding and the image it gives.
    const uint8_t* m_base = nullptr;
    size_t m_baseSize = 0;
    bool m_payloadOnly = false;
    bool m_decoding = false;
    CFrameDecoder m_decoder;
    std::unique_ptr<CImageDigest> m_targetDigest;
    uint64_t m_targetTaken = 0;   // bytes decoded and digested
    uint64_t m_targetHanded = 0;  // of those, handed to the sink
    // Bytes decoded while the base's digest was not ready, in the decoder's buffers.
    std::vector<std::pair<const uint8_t*, size_t>> m_held;
    size_t m_heldFrameStart = 0;  // of those, the ones held before the frame just ended
    bool m_handFailed = false;  // the base did not match or the sink refused
    uint64_t m_frameStart = 0;  // the target digest's hand-overs before the frame just ended
    bool m_overrun = false;  // the payload gave more than target-filesize
    // A delta's base is digested on a thread of its own while the first
    // frames decode and are digested; VerifyBase takes the result before a
    // byte reaches the sink.
    std::future<std::string> m_baseSha256;
    bool m_basePending = false;
    PackageError m_baseError = PackageError::Ok;

    // With a chunk index: the chunk being gathered, its number and digest.
    std::unique_ptr<CChunkIndex> m_index;
    std::string m_chunk;
    uint64_t m_chunkNumber = 0;
    bool m_chunkFailed = false;
};
