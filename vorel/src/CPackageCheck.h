// Checks a package held in any CBuffer (a file, or the bytes a device has just
// downloaded) before anything uses its image. The header is judged first: its
// form, then the Ed25519 signature over it against the keys given
// (CPackageTrust); a header that fails is refused before a byte of the image is
// read. Then the image's size, MD5 and SHA-256 are checked against the header.
// The image is read once, in blocks of bounded size, and may be handed to a
// sink on the way (to copy it out).
//
//   CPackageCheck check;
//   check.AddKey(CEd25519Key::FromPem(publicPem));
//   const CPackageCheck::Result& result = check.Run(buffer);
//   if (result.error == PackageError::Ok) ... flash the image ...
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CBuffer.h"
#include "CEd25519Key.h"
#include "CInputFile.h"
#include "CPackageHeader.h"
#include "CPackageTrust.h"
#include "PackageError.h"

class CPackageCheck {
  public:
    // Gets each block of the image in turn; false stops the run with WriteFailed.
    using ImageSink = std::function<bool(const uint8_t* data, size_t size)>;

    using SignatureState = CPackageTrust::SignatureState;

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

    // A key a signature may be made with; with one or more, a signature is required.
    void AddKey(const CEd25519Key& key) { m_trust.AddKey(key); }
    // What the header must satisfy before the image is read.
    CPackageTrust& Trust() { return m_trust; }
    void SetImageSink(ImageSink sink) { m_sink = std::move(sink); }

    // Runs every check. The error is the first of NotAPackage, BadSignature/
    // Unsigned (the header's judgement; the image is then not read), and
    // ImageMismatch that applies; ReadFailed or WriteFailed when the buffer or
    // the sink failed part way.
    const Result& Run(CBuffer& package);
    // The same over a package file, refused whole (TooLarge, nothing read) when
    // the size it had when it was opened reaches past 32-bit positions: its
    // CBuffer view would end before the file does.
    const Result& Run(CInputFile& package);
    const Result& GetResult() const { return m_result; }

    static const char* StateText(SignatureState state) { return CPackageTrust::StateText(state); }

  private:
    PackageError ReadImage(CBuffer& package, uint32_t start, std::string& md5, std::string& sha256,
                           uint64_t& size);
    void CompareImage(const CPackageHeader& header, const std::string& md5,
                      const std::string& sha256, uint64_t size);
    PackageError Verdict() const;

    CPackageTrust m_trust;
    ImageSink m_sink;
    Result m_result;
};
