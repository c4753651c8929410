// Signed data of a package that does not fit in its header: the chunk index
// (kind "index") and the bill of materials (kind "sbom"). Each kind is kept
// outside the package, in a file beside it named after it with "." and the
// kind appended ("release.pkg.index"), or at the package's URL with the same
// suffix, so that every reader of the package reads it exactly as before.
//
// The header names it with two lines the signature covers: "KIND-size" (its
// length, decimal) and "KIND-sha256" (its SHA-256, hexadecimal). A reader
// takes the data only when it has that length and digest, so it is trusted
// as far as the header is; a kind may add lines of its own ("index-chunk",
// "sbom-format"), named KIND-... likewise.
//
//   CPackageAttachment sbom("sbom", CPackageAttachment::kMaxSbomSize);
//   signerRequest.lines = sbom.Describe(document);           // when signing
//   if (sbom.Load(header, CPackageAttachment::Beside("release.pkg", "sbom"),
//                 document) != PackageError::Ok) ... sbom.Problem() ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CPackageHeader.h"
#include "PackageError.h"

class CPackageAttachment {
  public:
    // The chunk index of a 4 GiB image (the most a package holds) at the
    // smallest chunk: 65,536 digests of 64 KiB chunks (32 bytes each, 2 MiB)
    // and 1,048,576 hints of 4 KiB blocks (8 bytes each, 8 MiB).
    static constexpr uint64_t kMaxIndexSize = (2u << 20) + (8u << 20);
    // A bill of materials of a full system's packages, with file hashes.
    static constexpr uint64_t kMaxSbomSize = 64u << 20;

    // A kind of attachment, at most `maxSize` bytes long.
    CPackageAttachment(std::string kind, uint64_t maxSize)
        : m_kind(std::move(kind)), m_maxSize(maxSize) {}

    const std::string& Kind() const { return m_kind; }
    // The header lines that name `data`: KIND-size and KIND-sha256.
    std::vector<CPackageHeader::Line> Describe(const std::string& data) const;
    // Whether the header names an attachment of this kind.
    bool Named(const CPackageHeader& header) const;
    // The length the header gives, after Named.
    uint64_t NamedSize(const CPackageHeader& header) const;
    // Ok when `data` is what the header names; AttachmentMismatch (Problem()
    // says why) when not, NotAPackage when the header's lines are malformed or
    // name more than maxSize bytes.
    PackageError Check(const CPackageHeader& header, const std::string& data);
    // Reads the file at `path` (at most the named length and a byte, so a
    // longer file is refused without reading it all) and checks it. OpenFailed
    // or ReadFailed when it cannot be read.
    PackageError Load(const CPackageHeader& header, const std::string& path, std::string& data);
    const std::string& Problem() const { return m_problem; }

    // Where the attachment of the package at `package` (a path or URL) is kept.
    static std::string Beside(const std::string& package, const std::string& kind) {
        return package + "." + kind;
    }

  private:
    PackageError Fail(PackageError error, const std::string& problem);
    PackageError Lines(const CPackageHeader& header, uint64_t& size, const std::string*& sha256);

    std::string m_kind;
    uint64_t m_maxSize;
    std::string m_problem;
};
