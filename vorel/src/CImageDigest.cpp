#include "CImageDigest.h"

#include <algorithm>
#include <cstring>
#include <system_error>

CImageDigest::CImageDigest(bool withSha256) : m_withSha256(withSha256) {
    MD5Init(&m_md5);
}

CImageDigest::~CImageDigest() {
    if (m_worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_worker.join();
    }
}

bool CImageDigest::StartWorker() {
    try {
        m_worker = std::thread(&CImageDigest::Md5Worker, this);
        return true;
    } catch (const std::system_error&) {
        return false;  // no thread to be had: both digests run on the caller's
    }
}

void CImageDigest::Md5Worker() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_done < m_fed; });
        if (m_done == m_fed)
            return;
        const size_t slot = static_cast<size_t>(m_done % kBlocks);
        lock.unlock();
        MD5Update(&m_md5, m_data[slot], static_cast<unsigned int>(m_sizes[slot]));
        lock.lock();
        ++m_done;
        m_changed.notify_all();
    }
}

void CImageDigest::WaitForMd5(uint64_t done) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this, done] { return m_done >= done; });
}

uint8_t* CImageDigest::Block() {
    const uint64_t fed = m_fed;  // only this thread changes it
    if (m_worker.joinable() && fed >= kBlocks)
        WaitForMd5(fed - kBlocks + 1);
    std::unique_ptr<uint8_t[]>& block = m_blocks[fed % kBlocks];
    if (!block)
        block.reset(new uint8_t[kBlockSize]);
    return block.get();
}

void CImageDigest::Feed(size_t size) {
    const size_t slot = static_cast<size_t>(m_fed % kBlocks);
    Hand(slot, m_blocks[slot].get(), size);
}

// Hands `size` bytes at `data` in `slot` to the MD5 thread (or digests them
// here when there is none), then adds them to the SHA-256 on this thread.
void CImageDigest::Hand(size_t slot, const uint8_t* data, size_t size) {
    m_data[slot] = data;
    m_sizes[slot] = size;
    m_size += size;
    // A first block that fills its place promises a large image.
    if (!m_worker.joinable() && m_fed == 0 && size >= kBlockSize)
        StartWorker();
    if (m_worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_fed;
        }
        m_changed.notify_all();
    } else {
        MD5Update(&m_md5, data, static_cast<unsigned int>(size));
        ++m_fed;
        m_done = m_fed;
    }
    if (m_withSha256)
        m_sha256.Update(data, size);
}

void CImageDigest::AddInPlace(const uint8_t* data, size_t size) {
    while (size > 0) {
        const size_t count = std::min(size, kMaxInPlace);
        const uint64_t fed = m_fed;
        if (m_worker.joinable() && fed >= kBlocks)
            WaitForMd5(fed - kBlocks + 1);
        Hand(static_cast<size_t>(fed % kBlocks), data, count);
        data += count;
        size -= count;
    }
}

void CImageDigest::Settle() {
    SettleTo(m_fed);
}

void CImageDigest::SettleTo(uint64_t handed) {
    if (m_worker.joinable())
        WaitForMd5(std::min(handed, m_fed));
}

void CImageDigest::Add(const uint8_t* data, size_t size) {
    while (size > 0) {
        if (m_adding == nullptr) {
            m_adding = Block();
            m_added = 0;
        }
        const size_t count = std::min(size, kBlockSize - m_added);
        std::memcpy(m_adding + m_added, data, count);
        m_added += count;
        data += count;
        size -= count;
        if (m_added == kBlockSize) {
            Feed(m_added);
            m_adding = nullptr;
        }
    }
}

void CImageDigest::Finish(std::string& md5, std::string& sha256) {
    if (m_adding != nullptr && m_added > 0)
        Feed(m_added);
    m_adding = nullptr;
    if (m_worker.joinable())
        WaitForMd5(m_fed);
    MD5Final(&m_md5);
    char hex[33];
    MD5Hex(&m_md5, hex);
    md5 = hex;
    sha256 = m_withSha256 ? m_sha256.HexDigest() : std::string();
}
