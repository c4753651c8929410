#include "CInputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "Crc16.h"
#include "FilePath.h"

namespace {

// Each read-ahead window holds this much (less for a smaller file); reads of a window's
// size or more go straight into the caller's memory.
constexpr uint32_t kWindow = 64u << 10;

// Spans are read in chunks of this size, which stay in the processor's cache between
// being read, checksummed and handed on; spans from kSplit on are read on two threads.
constexpr uint32_t kSpanChunk = 256u << 10;
constexpr uint32_t kSplit = 4u << 20;

int64_t Nanoseconds(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// One of the halves a span is read in.
struct Half {
    uint64_t start;  // in the file
    uint32_t at;     // from the span's start
    uint32_t count;
    uint32_t got = 0;
    uint16_t crc = 0;
    bool ended = false;  // the file held fewer bytes than measured
};

void ReadHalf(int fd, uint32_t phase, const CInputFile::Sink& sink, Half& half) {
    std::vector<uint8_t> chunk(std::min(half.count, kSpanChunk));
    while (half.got < half.count) {
        const uint32_t toBoundary = kSpanChunk - (phase + half.at + half.got) % kSpanChunk;
        const uint32_t want = std::min(half.count - half.got, toBoundary);
        const ssize_t n = Core::File::ReadAt(fd, chunk.data(), want, half.start + half.got);
        if (n <= 0) {
            half.ended = true;
            return;
        }
        const uint32_t size = static_cast<uint32_t>(n);
        if (sink && !sink(half.at + half.got, chunk.data(), size))
            return;
        half.crc = Crc16Arc(half.crc, chunk.data(), size);
        half.got += size;
    }
}

}  // namespace

CInputFile::CInputFile(std::string name) : CFileBuffer(std::move(name)) {
    Open(false);
}

CInputFile::~CInputFile() {
    Release();
}

// Opening with O_NONBLOCK keeps a FIFO without writer, or a device, from holding the
// open; a regular file reads the same either way, and the flag is cleared for clarity.
bool CInputFile::Open(bool again) {
    const int fd = open(GetName().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (!again && fstat(fd, &st) == 0)
            m_state = State::NotRegular;
        close(fd);
        return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const int64_t modified = Nanoseconds(st.st_mtim);
    if (again && (st.st_dev != m_device || st.st_ino != m_inode || size != m_size ||
                  modified != m_modified)) {
        close(fd);
        return false;
    }
    m_fd = fd;
    if (!again) {
        m_size = size;
        m_device = st.st_dev;
        m_inode = st.st_ino;
        m_modified = modified;
        m_state = size == 0 ? State::Empty : State::Readable;
    }
    return true;
}

void CInputFile::Release() {
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
    m_windows.reset();
}

bool CInputFile::Ready() {
    if (m_fd < 0 && (m_state == State::Unreadable || m_state == State::NotRegular || m_changed ||
                     !Open(true))) {
        m_changed = m_changed || m_state == State::Readable;
        return false;
    }
    return true;
}

uint32_t CInputFile::ReadAt(uint64_t index, uint32_t count, uint8_t* buff) {
    if (!Ready())
        return 0;
    const ssize_t got = Core::File::ReadAt(m_fd, buff, count, index);
    const uint32_t done = got > 0 ? static_cast<uint32_t>(got) : 0;
    if (done < count)
        m_changed = true;  // the file ends before its measured size, or cannot be read
    return done;
}

// The window that holds [index, index + count), filled anew in place of the one used
// least recently when neither does; null when the file cannot deliver the bytes.
const CInputFile::Window* CInputFile::WindowFor(uint64_t index, uint32_t count) {
    ++m_clock;
    if (!m_windows)
        m_windows = std::make_unique<Window[]>(2);
    for (int k = 0; k < 2; ++k) {
        Window& window = m_windows[k];
        if (index >= window.start && index + count <= window.start + window.length) {
            window.used = m_clock;
            return &window;
        }
    }
    Window& oldest = m_windows[0].used <= m_windows[1].used ? m_windows[0] : m_windows[1];
    const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(kWindow, m_size - index));
    oldest.bytes.resize(std::min<uint64_t>(kWindow, m_size));
    oldest.length = ReadAt(index, length, oldest.bytes.data());
    oldest.start = index;
    oldest.used = m_clock;
    return oldest.length >= count ? &oldest : nullptr;
}

uint32_t CInputFile::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    if (index >= m_size || count == 0)
        return 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, m_size - index));
    if (count >= kWindow)
        return ReadAt(index, count, buff);
    const Window* window = WindowFor(index, count);
    if (window == nullptr)
        return 0;
    std::memcpy(buff, window->bytes.data() + (index - window->start), count);
    return count;
}

uint32_t CInputFile::ReadSpan(uint32_t index, uint32_t count, uint32_t phase, uint16_t& crc,
                              const Sink& sink) {
    crc = 0;
    if (index >= m_size || count == 0 || !Ready())
        return 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, m_size - index));
    uint32_t mid = count;
    if (count >= kSplit) {
        mid = count / 2;
        mid -= (phase + mid) % kSpanChunk;  // the second half starts where a chunk does
    }
    Half first{index, 0, mid};
    Half second{uint64_t{index} + mid, mid, count - mid};
    std::thread worker;
    if (second.count > 0) {
        try {
            worker = std::thread(ReadHalf, m_fd, phase, std::cref(sink), std::ref(second));
        } catch (const std::system_error&) {
            // no thread to be had: the caller reads both halves
        }
    }
    ReadHalf(m_fd, phase, sink, first);
    if (worker.joinable())
        worker.join();
    else if (second.count > 0 && first.got == first.count)
        ReadHalf(m_fd, phase, sink, second);
    m_changed = m_changed || first.ended || second.ended;
    crc = first.crc;
    if (first.got < first.count)
        return first.got;
    crc = Crc16ArcCombine(first.crc, second.crc, second.got);
    return first.got + second.got;
}

uint32_t CInputFile::Checksum(uint32_t index, uint32_t count, uint16_t& crc) {
    if (count < kSplit)
        return CBuffer::Checksum(index, count, crc);
    uint16_t span = 0;
    const uint32_t got = ReadSpan(index, count, 0, span, nullptr);
    crc = Crc16ArcCombine(crc, span, got);
    return got;
}

uint8_t CInputFile::At(uint32_t index) {
    uint8_t byte = 0;
    return Copy(index, 1, &byte) == 1 ? byte : 0;
}

uint32_t CInputFile::Size() {
    return static_cast<uint32_t>(std::min<uint64_t>(m_size, UINT32_MAX));
}

uint32_t CInputFile::Write(uint8_t* /*data*/, uint32_t /*size*/) {
    return 0;
}

void CInputFile::Clear() {}

bool CInputFile::Modified() const {
    struct stat st {};
    const int got = m_fd >= 0 ? fstat(m_fd, &st) : stat(GetName().c_str(), &st);
    return got != 0 || st.st_dev != m_device || st.st_ino != m_inode ||
           static_cast<uint64_t>(st.st_size) != m_size || Nanoseconds(st.st_mtim) != m_modified;
}

bool CInputFile::EndsAtSize() {
    if (m_state == State::Unreadable)
        return true;  // read as empty, as a missing file is
    uint8_t byte = 0;
    const bool wasChanged = m_changed;
    const uint32_t got = ReadAt(m_size, 1, &byte);
    if (got == 0 && !wasChanged && m_fd >= 0)
        m_changed = false;  // the short read here is the end the size promised
    else
        m_changed = true;
    return !m_changed;
}
