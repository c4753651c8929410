#include "CFileSource.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "CPackageAttachment.h"
#include "FilePath.h"

namespace {

// A read hands its bytes on in blocks of this size, whatever it was asked for.
constexpr size_t kBlock = 1u << 20;

int64_t ModifiedOf(const struct stat& st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

}  // namespace

CFileSource::~CFileSource() {
    if (m_fd >= 0)
        close(m_fd);
}

PackageError CFileSource::Fail(PackageError error, const std::string& problem) {
    m_problem = problem;
    return error;
}

bool CFileSource::Open() {
    if (m_fd >= 0)
        return true;
    struct stat st {};
    const std::string problem = Core::File::OpenRegular(m_path, m_fd, st);
    if (!problem.empty()) {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        m_problem = problem;
        return false;
    }
    m_size = static_cast<uint64_t>(st.st_size);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_modified = ModifiedOf(st);
    return true;
}

bool CFileSource::Unchanged() const {
    struct stat st {};
    return fstat(m_fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == m_size &&
           st.st_dev == m_device && st.st_ino == m_inode && ModifiedOf(st) == m_modified;
}

PackageError CFileSource::Read(uint64_t offset, uint64_t size, const Sink& sink) {
    if (!Open())
        return Fail(PackageError::OpenFailed, m_problem);
    if (!Unchanged())
        return Fail(PackageError::Changed, "");
    const uint64_t end = offset < m_size ? offset + std::min(size, m_size - offset) : offset;
    std::unique_ptr<uint8_t[]> block(new uint8_t[std::min<uint64_t>(kBlock, end - offset) + 1]);
    for (uint64_t at = offset; at < end;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kBlock, end - at));
        const ssize_t got = Core::File::ReadAt(m_fd, block.get(), want, at);
        if (got < 0)
            return Fail(PackageError::ReadFailed, std::strerror(errno));
        if (static_cast<size_t>(got) < want)
            return Fail(PackageError::Changed, "");
        if (!sink(block.get(), want))
            return Fail(PackageError::WriteFailed, "");
        at += want;
    }
    if (!Unchanged())
        return Fail(PackageError::Changed, "");
    if (end - offset < size)
        return Fail(PackageError::CutShort, "it ends at byte " + std::to_string(m_size));
    return PackageError::Ok;
}

PackageError CFileSource::ReadFile(const std::string& path, uint64_t maxSize, std::string& data,
                                   std::string& problem) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return PackageError::OpenFailed;
    }
    // A regular file gets room for its length and a byte (which shows one that
    // grew), not for the most allowed: that would be memory touched for nothing.
    struct stat st;
    uint64_t room = maxSize;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        room = std::min<uint64_t>(maxSize, static_cast<uint64_t>(st.st_size) + 1);
    data.assign(static_cast<size_t>(room), '\0');
    const ssize_t got = Core::File::ReadAt(fd, &data[0], data.size(), 0);
    const int error = errno;
    close(fd);
    if (got < 0) {
        problem = std::strerror(error);
        return PackageError::ReadFailed;
    }
    data.resize(static_cast<size_t>(got));
    return PackageError::Ok;
}

PackageError CFileSource::ReadAttachment(const std::string& kind, uint64_t maxSize,
                                         std::string& data) {
    // One byte more than allowed shows a longer file without reading all of it.
    const std::string path = CPackageAttachment::Beside(m_path, kind);
    std::string problem;
    const PackageError error = ReadFile(path, maxSize + 1, data, problem);
    return error == PackageError::Ok ? error : Fail(error, path + ": " + problem);
}
