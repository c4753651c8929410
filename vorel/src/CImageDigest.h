// The MD5 and the SHA-256 of one byte stream, computed side by side: MD5 on a
// thread of its own, SHA-256 on the caller's, so that a large image costs
// about as long as the slower of the two digests instead of both.
//
// The bytes pass through blocks the object owns, a ring of a few of them, so
// that the MD5 thread may lag behind by several blocks and the two threads
// seldom wait for each other (which matters on a busy machine, where every
// wait is a trip through the scheduler):
//
//   uint8_t* block = digest.Block();        // fill up to kBlockSize bytes
//   digest.Feed(count);                      // hand them over
//   ... the block may still be read (not changed) until the next Block() ...
//
// Bytes that stay where they are for a while (a decoder's output buffer) are
// digested in place instead, without a copy: AddInPlace hands them to the MD5
// thread as they lie, and Settle waits until it has read them all, before the
// caller changes them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CSha256.h"
#include "md5.h"

class CImageDigest {
  public:
    static constexpr size_t kBlockSize = 256 * 1024;

    // `withSha256` false: the MD5 alone (pkgstamp), the SHA-256 left empty.
    explicit CImageDigest(bool withSha256 = true);
    ~CImageDigest();
    CImageDigest(const CImageDigest&) = delete;
    CImageDigest& operator=(const CImageDigest&) = delete;

    // The next block to fill, once the MD5 thread is done with it.
    uint8_t* Block();
    // Digests the first `size` bytes of the block Block() gave.
    void Feed(size_t size);
    // Digests a copy of `size` bytes from elsewhere (gathered into blocks; not
    // to be mixed with Block and Feed).
    void Add(const uint8_t* data, size_t size);
    // Digests `size` bytes at `data`, which the MD5 thread may read until
    // Settle or Finish returns: they must stay unchanged until then (not to be
    // mixed with the calls above).
    void AddInPlace(const uint8_t* data, size_t size);
    // Returns once every byte added in place has been read, or (SettleTo) the
    // bytes of the first `handed` hand-overs, as counted by Handed().
    void Settle();
    void SettleTo(uint64_t handed);
    uint64_t Handed() const { return m_fed; }
    // Ends both digests; each is 32 or 64 lowercase hexadecimal digits (an
    // empty SHA-256 when libcrypto failed).
    void Finish(std::string& md5, std::string& sha256);
    // Number of bytes fed.
    uint64_t Size() const { return m_size; }

  private:
    static constexpr size_t kBlocks = 8;

    // The most bytes one slot takes in place (MD5Update counts in 32 bits).
    static constexpr size_t kMaxInPlace = size_t{1} << 30;

    void Md5Worker();
    void WaitForMd5(uint64_t done);
    bool StartWorker();
    void Hand(size_t slot, const uint8_t* data, size_t size);

    MD5_CTX m_md5;
    CSha256 m_sha256;
    bool m_withSha256;
    uint64_t m_size = 0;
    // Allocated when first used, so a small image takes one block.
    std::unique_ptr<uint8_t[]> m_blocks[kBlocks];
    // What each slot holds for the MD5 thread: one of the blocks, or bytes in place.
    const uint8_t* m_data[kBlocks] = {};
    size_t m_sizes[kBlocks] = {};
    // The block Add is filling, and how far.
    uint8_t* m_adding = nullptr;
    size_t m_added = 0;

    // Blocks handed over and blocks the MD5 thread has digested, counted from 0.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    uint64_t m_fed = 0;
    uint64_t m_done = 0;
    bool m_stop = false;
    std::thread m_worker;
};
