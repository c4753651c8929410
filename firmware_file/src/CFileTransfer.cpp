#include "CFileTransfer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>

#include "Crc16.h"

namespace {

// Windows end on 2 MiB file boundaries, so that a file written here can be kept by the
// kernel in large pages and a window of it mapped at little cost.
constexpr uint64_t kWindow = 2u << 20;
// While copying with a checksum, slices this small stay in the processor's cache between
// being checksummed and being written.
constexpr uint32_t kSlice = 256u << 10;

// ---- descriptors and mappings ---------------------------------------------

class Descriptor {
  public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { Close(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool Ok() const { return m_fd >= 0; }
    int Get() const { return m_fd; }
    // Closes now; false when closing reported an error (unwritten data).
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

  private:
    int m_fd;
};

// Opens `path` when it is a regular file; -1 otherwise.
int OpenRegular(const std::string& path, int flags, struct stat& st) {
    const int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A source and a target, both regular files and not the same file.
struct FilePair {
    FilePair(const std::string& source, const std::string& target)
        : in(OpenRegular(source, O_RDONLY, sourceStat)),
          out(OpenRegular(target, O_WRONLY, targetStat)) {}

    bool Ok() const {
        return in.Ok() && out.Ok() &&
               (sourceStat.st_dev != targetStat.st_dev || sourceStat.st_ino != targetStat.st_ino);
    }
    // Bytes the source holds from `index` on, at most `count`.
    uint32_t Available(uint32_t index, uint32_t count) const {
        const uint64_t size = static_cast<uint64_t>(sourceStat.st_size);
        return index >= size ? 0 : static_cast<uint32_t>(std::min<uint64_t>(count, size - index));
    }
    uint64_t TargetSize() const { return static_cast<uint64_t>(targetStat.st_size); }

    struct stat sourceStat {};
    struct stat targetStat {};
    Descriptor in;
    Descriptor out;
};

// A read-only view of `count` bytes from `index` of an open file, gone with the object.
class Mapping {
  public:
    Mapping(int fd, uint64_t index, uint32_t count) {
        static const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        const uint64_t base = index - index % page;
        m_length = count + (index - base);
        void* at = count == 0 ? MAP_FAILED
                              : mmap(nullptr, m_length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd,
                                     static_cast<off_t>(base));
        if (at != MAP_FAILED) {
            m_base = at;
            m_data = static_cast<const uint8_t*>(at) + (index - base);
        }
    }
    ~Mapping() {
        if (m_base != nullptr)
            munmap(m_base, m_length);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    bool Ok() const { return m_base != nullptr; }
    const uint8_t* Data() const { return m_data; }

  private:
    void* m_base = nullptr;
    size_t m_length = 0;
    const uint8_t* m_data = nullptr;
};

// Length of the next window from file position `at`: up to the next window boundary.
uint32_t WindowLength(uint64_t at, uint32_t remaining) {
    return static_cast<uint32_t>(std::min<uint64_t>(remaining, kWindow - at % kWindow));
}

// Writes `count` bytes at `at`; returns how many reached the file.
uint32_t WriteAt(int fd, const uint8_t* data, uint32_t count, uint64_t at) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = pwrite(fd, data + done, count - done, static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

// ---- reading a mapping safely -----------------------------------------------

// A file that shrinks while it is mapped makes the kernel raise SIGBUS on the first touch of
// a page past its new end. While a mapped CRC runs, that signal returns to the CRC's caller,
// which then treats the file as it now is instead of the process being killed.
sigjmp_buf g_busJump;
volatile sig_atomic_t g_busGuarded = 0;

void OnBusError(int signal) {
    if (g_busGuarded != 0)
        siglongjmp(g_busJump, 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Installs the SIGBUS handler for its lifetime and puts the previous one back.
class BusGuard {
  public:
    BusGuard() {
        struct sigaction action {};
        action.sa_handler = OnBusError;
        sigemptyset(&action.sa_mask);
        m_ok = sigaction(SIGBUS, &action, &m_previous) == 0;
    }
    ~BusGuard() {
        if (m_ok)
            sigaction(SIGBUS, &m_previous, nullptr);
    }
    BusGuard(const BusGuard&) = delete;
    BusGuard& operator=(const BusGuard&) = delete;

    bool Ok() const { return m_ok; }

  private:
    struct sigaction m_previous {};
    bool m_ok = false;
};

// Advances `crc` over mapped bytes; false, leaving `crc` alone, when the file shrank under
// the mapping. Needs a BusGuard in place.
bool MappedCrc(const uint8_t* data, uint32_t count, uint16_t& crc) {
    if (sigsetjmp(g_busJump, 1) != 0) {
        g_busGuarded = 0;
        return false;
    }
    g_busGuarded = 1;
    const uint16_t next = Crc16Arc(crc, data, count);
    g_busGuarded = 0;
    crc = next;
    return true;
}

}  // namespace

bool CFileTransfer::Crc(const std::string& path, uint32_t index, uint32_t& count, uint16_t& crc) {
    struct stat st {};
    Descriptor in(OpenRegular(path, O_RDONLY, st));
    if (!in.Ok())
        return false;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint32_t available =
        index >= size ? 0 : static_cast<uint32_t>(std::min<uint64_t>(count, size - index));
    if (available == 0)
        return false;  // nothing to map: the buffer says what lies there, if anything
    const Mapping view(in.Get(), index, available);
    in.Close();
    const BusGuard guard;
    if (!view.Ok() || !guard.Ok() || !MappedCrc(view.Data(), available, crc))
        return false;
    count = available;
    return true;
}

bool CFileTransfer::Append(const std::string& source, uint32_t index, uint32_t count,
                           const std::string& target, uint32_t& moved) {
    moved = 0;
    FilePair files(source, target);
    const uint32_t available = files.Ok() ? files.Available(index, count) : 0;
    if (available == 0)
        return false;
    uint64_t at = files.TargetSize();
    while (moved < available) {
        const uint32_t length = WindowLength(at, available - moved);
        const Mapping view(files.in.Get(), uint64_t{index} + moved, length);
        if (!view.Ok() && moved == 0)
            return false;
        // A source that shrank since it was measured ends the copy with a short write.
        const uint32_t put = view.Ok() ? WriteAt(files.out.Get(), view.Data(), length, at) : 0;
        moved += put;
        at += put;
        if (put != length)
            break;
    }
    if (!files.out.Close())
        moved = 0;
    return true;
}

bool CFileTransfer::AppendWithHeader(
    const std::string& source, uint32_t index, uint32_t count, const std::string& target,
    uint32_t headerSize, const std::function<std::vector<uint8_t>(uint16_t)>& makeHeader,
    uint32_t& written) {
    written = 0;
    FilePair files(source, target);
    uint32_t available = files.Ok() ? files.Available(index, count) : 0;
    const BusGuard guard;
    if (available == 0 || !guard.Ok())
        return false;
    const int out = files.out.Get();
    const uint64_t base = files.TargetSize();
    const std::vector<uint8_t> reserved(headerSize, 0);
    if (WriteAt(out, reserved.data(), headerSize, base) != headerSize) {
        (void)!ftruncate(out, static_cast<off_t>(base));
        return false;
    }
    uint16_t crc = 0;
    uint32_t done = 0;
    uint32_t bodyWritten = 0;
    bool writing = true;  // a failed write stops the copy; the CRC still covers the whole body
    while (done < available) {
        const uint64_t at = base + headerSize + done;
        const uint32_t length = WindowLength(at, available - done);
        const Mapping view(files.in.Get(), uint64_t{index} + done, length);
        if (!view.Ok()) {
            if (done == 0) {
                (void)!ftruncate(out, static_cast<off_t>(base));
                return false;
            }
            break;
        }
        for (uint32_t offset = 0; offset < length; offset += kSlice) {
            const uint32_t slice = std::min(kSlice, length - offset);
            if (!MappedCrc(view.Data() + offset, slice, crc)) {
                available = done + offset;  // the source shrank: its body ends here
                break;
            }
            if (writing) {
                const uint32_t put = WriteAt(out, view.Data() + offset, slice, at + offset);
                bodyWritten += put;
                writing = put == slice;
            }
        }
        done = std::min(available, done + length);
    }
    const std::vector<uint8_t> header = makeHeader(crc);
    const bool placed =
        header.size() == headerSize && WriteAt(out, header.data(), headerSize, base) == headerSize;
    written = (placed ? headerSize : 0) + bodyWritten;
    if (!files.out.Close())
        written = 0;
    return true;
}
