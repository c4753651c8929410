// The chunk index of a package's image: the SHA-256 of every fixed-size chunk
// of the image in order (the last one may be short), 32 raw bytes each, so
// that a reader can check each chunk the moment it has it. It is the package's
// attachment of kind "index" (CPackageAttachment), named by the signed header
// lines index-sha256 and index-size, with index-chunk giving the chunk size:
// a power of two from 64 KiB to 4 MiB. The image indexed is the one a reader
// ends with: the image of a plain package, the image an encoded package
// rebuilds (target-filesize).
//
//   CChunkIndex::Builder builder(CChunkIndex::kDefaultChunk);
//   builder.Update(data, size); ...           // the image, in order
//   const std::string index = builder.Finish();
//   CChunkIndex taken;
//   if (taken.Take(header, index) == PackageError::Ok) ... taken.Matches(i, digest) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CPackageAttachment.h"
#include "CPackageHeader.h"
#include "CSha256.h"
#include "PackageError.h"

class CChunkIndex {
  public:
    static constexpr uint64_t kMinChunk = 64u << 10;
    static constexpr uint64_t kMaxChunk = 4u << 20;
    // The chunk of --index: of 64 KiB, 256 KiB, 1 MiB and 4 MiB, the size that
    // fetched the least beside an older image in bench/run (bench/chunks.py),
    // for an index of 32 bytes per 64 KiB.
    static constexpr uint64_t kDefaultChunk = 64u << 10;
    static constexpr size_t kDigestSize = 32;
    static constexpr const char* kKind = "index";
    static constexpr const char* kChunkLine = "index-chunk";

    // Computes the index of an image handed over in order, in pieces of any size.
    class Builder {
      public:
        explicit Builder(uint64_t chunk) : m_chunk(chunk) {}
        void Update(const uint8_t* data, size_t size);
        // The index; the builder starts over.
        std::string Finish();

      private:
        uint64_t m_chunk;
        uint64_t m_fill = 0;
        CSha256 m_sha256;
        std::string m_index;
    };

    static CPackageAttachment Attachment() {
        return CPackageAttachment(kKind, CPackageAttachment::kMaxIndexSize);
    }
    // A chunk size on a command line: 64K, 256K, 1M, 4M (K and M in powers of
    // 1024) or plain bytes, a power of two from kMinChunk to kMaxChunk. Empty
    // when valid, else the refusal.
    static std::string ParseChunk(const std::string& text, uint64_t& chunk);
    // The length of the index of an image of `imageSize` bytes.
    static uint64_t IndexSize(uint64_t imageSize, uint64_t chunk);
    // The header lines that name `index` at `chunk` (all three).
    static std::vector<CPackageHeader::Line> Lines(const std::string& index, uint64_t chunk);
    // Whether the header names an index.
    static bool Named(const CPackageHeader& header);
    // The size of the image the index covers: target-filesize of an encoded package.
    static uint64_t ImageSize(const CPackageHeader& header);

    // Takes `data` as the index the header names: Ok; NotAPackage when the
    // header's index lines are malformed or do not fit the image;
    // AttachmentMismatch when `data` is not the index they name. Problem() says why.
    PackageError Take(const CPackageHeader& header, std::string data);
    uint64_t Chunk() const { return m_chunk; }
    uint64_t Count() const { return m_index.size() / kDigestSize; }
    uint64_t ImageSize() const { return m_imageSize; }
    // The length of chunk `i`: the chunk size, less for the last.
    uint64_t LengthOf(uint64_t i) const;
    // The raw SHA-256 chunk `i` must have.
    std::string DigestOf(uint64_t i) const { return m_index.substr(i * kDigestSize, kDigestSize); }
    const std::string& Problem() const { return m_problem; }

  private:
    PackageError Fail(PackageError error, const std::string& problem);

    std::string m_index;
    uint64_t m_chunk = 0;
    uint64_t m_imageSize = 0;
    std::string m_problem;
};
