#include "CImageDigest.h"

#include <climits>
#include <system_error>

namespace {

// Below this block size the hand-over costs more than it saves.
constexpr size_t kThreadedBlock = 64 * 1024;

}  // namespace

CImageDigest::CImageDigest() {
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

void CImageDigest::UpdateMd5(const uint8_t* data, size_t size) {
    while (size > 0) {
        const unsigned int piece = size > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(size);
        MD5Update(&m_md5, data, piece);
        data += piece;
        size -= piece;
    }
}

void CImageDigest::Md5Worker() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_block != nullptr; });
        if (m_block == nullptr)
            return;
        const uint8_t* block = m_block;
        const size_t size = m_blockSize;
        lock.unlock();
        UpdateMd5(block, size);
        lock.lock();
        m_block = nullptr;
        m_changed.notify_all();
    }
}

void CImageDigest::WaitForMd5() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_block == nullptr; });
}

void CImageDigest::Feed(const uint8_t* data, size_t size) {
    m_size += size;
    WaitForMd5();
    if (!m_worker.joinable() && size >= kThreadedBlock) {
        try {
            m_worker = std::thread(&CImageDigest::Md5Worker, this);
        } catch (const std::system_error&) {
            // No thread to be had: both digests run here.
        }
    }
    if (m_worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_block = data;
            m_blockSize = size;
        }
        m_changed.notify_all();
    } else {
        UpdateMd5(data, size);
    }
    m_sha256.Update(data, size);
}

void CImageDigest::Finish(std::string& md5, std::string& sha256) {
    WaitForMd5();
    MD5Final(&m_md5);
    char hex[33];
    MD5Hex(&m_md5, hex);
    md5 = hex;
    sha256 = m_sha256.HexDigest();
}
