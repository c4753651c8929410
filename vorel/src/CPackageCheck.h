// Checks a package held in any CBuffer (a file, or the bytes a device has just
// downloaded) before anything uses its image: the header block's form, the
// image's size, MD5 and SHA-256 against the header, and the Ed25519 signature
// over the header against the keys given. The image is read once, in blocks of
// bounded size, and may be handed to a sink on the way (to copy it out).
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
#include "PackageError.h"

class CPackageCheck {
  public:
    // Gets each block of the image in turn; false stops the run with WriteFailed.
    using ImageSink = std::function<bool(const uint8_t* data, size_t size)>;

    enum class SignatureState {
        Absent,      // no signature line, and no key was given
        Unsigned,    // no signature line, though keys were given
        Unverified,  // a well-formed signature, and no key was given
        Verified,    // made by one of the keys given, over this header
        Bad,         // malformed, or made by a key given but not over this header
        UnknownKey,  // well-formed, by a key that is not among those given
    };

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
        // filesize, md5, then sha256 when stored or when a signature is checked with a key
        std::vector<Item> checks;
        SignatureState signature = SignatureState::Absent;
        std::string keyId;  // of the signature line, when it is well-formed
        std::string signedMessage;
        std::string md5;     // of the image as read, whatever the header says
        std::string sha256;  // likewise
    };

    // A key a signature may be made with; with one or more, a signature is required.
    void AddKey(const CEd25519Key& key);
    void SetImageSink(ImageSink sink) { m_sink = std::move(sink); }

    // Runs every check. The error is the first of NotAPackage, ImageMismatch,
    // BadSignature/Unsigned that applies; ReadFailed or WriteFailed when the
    // buffer or the sink failed part way.
    const Result& Run(CBuffer& package);
    // The same over a package file, refused whole (TooLarge, nothing read) when
    // the size it had when it was opened reaches past 32-bit positions: its
    // CBuffer view would end before the file does.
    const Result& Run(CInputFile& package);
    const Result& GetResult() const { return m_result; }

    static const char* StateText(SignatureState state);

  private:
    PackageError ReadImage(CBuffer& package, uint32_t start, std::string& md5, std::string& sha256,
                           uint64_t& size);
    void CheckSignature(const CPackageHeader& header);
    void CompareImage(const CPackageHeader& header, const std::string& md5,
                      const std::string& sha256, uint64_t size);
    PackageError Verdict() const;

    std::vector<CEd25519Key> m_keys;
    ImageSink m_sink;
    Result m_result;
};
