// The MD5 and the SHA-256 of one byte stream, computed side by side: MD5 on a
// thread of its own, SHA-256 on the caller's, so that a large image costs
// about as long as the slower of the two digests instead of both.
//
// Feed hands a block over and returns once its SHA-256 part is done; the MD5
// part may still be running, so the block must stay unchanged until the next
// Feed or Finish returns. Two blocks used in turn are therefore enough.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "CSha256.h"
#include "md5.h"

class CImageDigest {
  public:
    CImageDigest();
    ~CImageDigest();
    CImageDigest(const CImageDigest&) = delete;
    CImageDigest& operator=(const CImageDigest&) = delete;

    void Feed(const uint8_t* data, size_t size);
    // Ends both digests; each is 32 or 64 lowercase hexadecimal digits (an
    // empty SHA-256 when libcrypto failed).
    void Finish(std::string& md5, std::string& sha256);
    // Number of bytes fed.
    uint64_t Size() const { return m_size; }

  private:
    void WaitForMd5();
    void Md5Worker();
    void UpdateMd5(const uint8_t* data, size_t size);

    MD5_CTX m_md5;
    CSha256 m_sha256;
    uint64_t m_size = 0;

    // The block the MD5 thread works on; null when it is idle.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const uint8_t* m_block = nullptr;
    size_t m_blockSize = 0;
    bool m_stop = false;
    std::thread m_worker;
};
