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
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CEd25519Key.h"
#include "CImageDigest.h"
#include "CPackageHeader.h"
#include "CPackageTrust.h"
#include "PackageError.h"

class CPackageStream {
  public:
    // Gets each block of the image in turn; false stops the stream with WriteFailed.
    using ImageSink = std::function<bool(const uint8_t* data, size_t size)>;
    // Told the image bytes handed on so far and the header's filesize: once when
    // the header is accepted (done 0), then after each block.
    using Progress = std::function<void(uint64_t done, uint64_t total)>;

    struct Item {
        std::string name;      // "filesize", "md5" or "sha256"
        std::string stored;    // the header's value
        std::string computed;  // what the image gives
        bool ok = false;
    };

    struct Result {
        PackageError error = PackageError::Ok;      // the first failing check, in the order below
        std::string problem;                        // why it is not a package
        std::vector<CPackageHeader::Line> headers;  // in stored order
        // filesize, md5, then sha256 when stored or when a signature is checked
        // with a key; empty when the header was refused
        std::vector<Item> checks;
        CPackageTrust::Verdict trust;  // the judgement of the header, when it was read
        std::string md5;     // of the image as read, whatever the header says
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
    void CompareImage();

    CPackageTrust m_trust;
    ImageSink m_sink;
    Progress m_progress;
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
};
