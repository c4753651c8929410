// The chunk index of a package's image: the SHA-256 of every fixed-size chunk
// of the image in order (the last one may be short), 32 raw bytes each, so
// that a reader can check each chunk the moment it has it. It is the package's
// attachment of kind "index" (CPackageAttachment), named by the signed header
// lines index-sha256 and index-size, with index-chunk giving the chunk size:
// a power of two from 64 KiB to 4 MiB. The image indexed is the one a reader
// ends with: the image of a plain package, the image an encoded package
// rebuilds (target-filesize).
//
// With the line index-block (always kBlock), the digests are followed by one
// hint per 4 KiB block of the image (the last may be short): the first 8
// bytes of the block's SHA-256. An installer looks blocks up by their hint in
// the slot it boots from, wherever they moved; a chunk so assembled is still
// only taken when it matches its digest, so the hints need not be unique.
// An index without the line holds the digests alone.
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
    // The chunk of --index. With block hints, 64 KiB, 256 KiB, 1 MiB and 4 MiB
    // fetch the same beside an older image in bench/run (bench/chunks.py), the
    // index differing by 0.05 % of the package; the smallest is checked,
    // resumed and fetched again at the finest grain.
    static constexpr uint64_t kDefaultChunk = 64u << 10;
    static constexpr size_t kDigestSize = 32;
    // The block a hint covers: the file system block of most images.
    static constexpr uint64_t kBlock = 4096;
    static constexpr size_t kHintSize = 8;
    static constexpr const char* kKind = "index";
    static constexpr const char* kChunkLine = "index-chunk";
    static constexpr const char* kBlockLine = "index-block";

    // Computes the index of an image handed over in order, in pieces of any
    // size: the chunk digests and, unless `block` is 0, the block hints.
    class Builder {
      public:
        explicit Builder(uint64_t chunk, uint64_t block = kBlock) : m_chunk(chunk), m_block(block) {}
        void Update(const uint8_t* data, size_t size);
        // The index; the builder starts over.
        std::string Finish();

      private:
        void EndBlock();

        uint64_t m_chunk;
        uint64_t m_block;
        uint64_t m_fill = 0;       // of the chunk
        uint64_t m_blockFill = 0;  // of the block
        CSha256 m_sha256;
        CSha256 m_blockSha256;
        std::string m_index;
        std::string m_hints;
    };

    static CPackageAttachment Attachment() {
        return CPackageAttachment(kKind, CPackageAttachment::kMaxIndexSize);
    }
    // A chunk size on a command line: 64K, 256K, 1M, 4M (K and M in powers of
    // 1024) or plain bytes, a power of two from kMinChunk to kMaxChunk. Empty
    // when valid, else the refusal.
    static std::string ParseChunk(const std::string& text, uint64_t& chunk);
    // The length of the index of an image of `imageSize` bytes, with the hints
    // of blocks of `block` bytes (0: none).
    static uint64_t IndexSize(uint64_t imageSize, uint64_t chunk, uint64_t block);
    // The header lines that name `index` at `chunk`, index-block too unless
    // `block` is 0.
    static std::vector<CPackageHeader::Line> Lines(const std::string& index, uint64_t chunk,
                                                   uint64_t block);
    // The hint of a block of `size` bytes.
    static uint64_t Hint(const void* data, size_t size);
    // Whether the header names an index.
    static bool Named(const CPackageHeader& header);
    // The size of the image the index covers: target-filesize of an encoded package.
    static uint64_t ImageSize(const CPackageHeader& header);

    // Takes `data` as the index the header names: Ok; NotAPackage when the
    // header's index lines are malformed or do not fit the image;
    // AttachmentMismatch when `data` is not the index they name. Problem() says why.
    PackageError Take(const CPackageHeader& header, std::string data);
    uint64_t Chunk() const { return m_chunk; }
    uint64_t Count() const { return m_count; }
    uint64_t ImageSize() const { return m_imageSize; }
    // The length of chunk `i`: the chunk size, less for the last.
    uint64_t LengthOf(uint64_t i) const;
    // The raw SHA-256 chunk `i` must have.
    std::string DigestOf(uint64_t i) const { return m_index.substr(i * kDigestSize, kDigestSize); }
    // kBlock when the index holds block hints, else 0.
    uint64_t Block() const { return m_block; }
    // The number of block hints: 0 without.
    uint64_t Blocks() const { return m_block == 0 ? 0 : (m_imageSize + m_block - 1) / m_block; }
    // The hint of block `i` (i < Blocks()).
    uint64_t HintOf(uint64_t i) const;
    const std::string& Problem() const { return m_problem; }

  private:
    PackageError Fail(PackageError error, const std::string& problem);
    // Reads index-block into m_block; the refusal, empty when valid.
    std::string TakeBlock(const CPackageHeader& header);

    std::string m_index;
    uint64_t m_chunk = 0;
    uint64_t m_count = 0;
    uint64_t m_block = 0;
    uint64_t m_imageSize = 0;
    std::string m_problem;
};
