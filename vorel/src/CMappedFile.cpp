#include "CMappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What a file of 0 bytes gives: a valid pointer to nothing.
const uint8_t kNothing[1] = {0};
// The most one read asks for.
constexpr size_t kReadSize = size_t{1} << 20;
const char kChanged[] = "changed while it was read";

// The size of a regular file or of a block device; -1 with errno.
off_t SizeOf(int fd, const struct stat& st) {
    return S_ISBLK(st.st_mode) ? lseek(fd, 0, SEEK_END) : st.st_size;
}

// True when the file is no longer what it was when its reading began.
bool Changed(int fd, const struct stat& before) {
    struct stat after {};
    return fstat(fd, &after) != 0 || after.st_ino != before.st_ino ||
           after.st_size != before.st_size || after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
           after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
           after.st_ctim.tv_sec != before.st_ctim.tv_sec ||
           after.st_ctim.tv_nsec != before.st_ctim.tv_nsec;
}

}  // namespace

CMappedFile::~CMappedFile() {
    Close();
}

void CMappedFile::Close() {
    if (m_mapped)
        munmap(const_cast<uint8_t*>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}

bool CMappedFile::Open(const std::string& path) {
    Close();
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    m_problem = fd < 0 ? std::strerror(errno) : Read(fd);
    if (fd >= 0)
        close(fd);
    if (!m_problem.empty())
        Close();
    return m_problem.empty();
}

std::string CMappedFile::Read(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return "not a regular file or block device";
    const off_t size = SizeOf(fd, st);
    if (size < 0)
        return std::strerror(errno);
    if (static_cast<uint64_t>(size) > SIZE_MAX)
        return std::strerror(EFBIG);
    if (size == 0) {
        m_data = kNothing;
        return Changed(fd, st) ? kChanged : "";
    }
    void* memory = mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return std::strerror(errno);
    m_data = static_cast<const uint8_t*>(memory);
    m_size = static_cast<size_t>(size);
    m_mapped = true;
    const std::string problem = ReadAll(fd, st);
    // Read-only from here: nothing may write over the base it checks against.
    if (problem.empty() && mprotect(memory, m_size, PROT_READ) != 0)
        return std::strerror(errno);
    return problem;
}

// Reads the file's m_size bytes; a file that ends early or whose size, times
// or identity moved meanwhile changed while it was read.
std::string CMappedFile::ReadAll(int fd, const struct stat& before) {
    uint8_t* into = const_cast<uint8_t*>(m_data);
    size_t got = 0;
    while (got < m_size) {
        const ssize_t count =
            pread(fd, into + got, std::min(m_size - got, kReadSize), static_cast<off_t>(got));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::strerror(errno);
        if (count == 0)
            return kChanged;
        got += static_cast<size_t>(count);
    }
    return Changed(fd, before) ? kChanged : "";
}
