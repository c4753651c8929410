#include "CDirectoryTree.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <vector>

#include "FilePath.h"

namespace {

constexpr size_t kDirectoryPiece = 256 * 1024;

}  // namespace

CDirectoryTree::~CDirectoryTree() {
    if (m_root >= 0)
        close(m_root);
}

bool CDirectoryTree::Open(const std::string& directory) {
    m_root = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_root >= 0 || Fail(directory + ": " + std::strerror(errno));
}

int CDirectoryTree::OpenFile(const std::string& path, bool follow, uint64_t& size) {
    struct open_how how {};
    how.flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (follow ? 0 : O_NOFOLLOW);
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const int fd = static_cast<int>(syscall(SYS_openat2, m_root, path.c_str(), &how, sizeof how));
    if (fd < 0) {
        Fail(path + ": " + std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        Fail(path + ": not a regular file");
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

bool CDirectoryTree::Stream(const std::string& path, const Sink& sink, bool follow, uint64_t max) {
    uint64_t size = 0;
    const int fd = OpenFile(path, follow, size);
    if (fd < 0)
        return false;
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(kDirectoryPiece, size + 1)));
    ssize_t got = 0;
    uint64_t total = 0;  // a file that grows while it is read stops at `max` all the same
    while (size <= max && (got = Core::File::ReadSome(fd, piece.data(), piece.size())) > 0 &&
           (total += static_cast<uint64_t>(got)) <= max)
        sink(piece.data(), static_cast<size_t>(got));
    const int error = errno;
    close(fd);
    if (size > max || total > max)
        return TooLarge(path, max);
    return got == 0 || Fail(path + ": " + std::strerror(error));
}

bool CDirectoryTree::ReadStart(const std::string& path, size_t count, std::string& data) {
    data.clear();
    uint64_t size = 0;
    const int fd = OpenFile(path, true, size);
    if (fd < 0)
        return false;
    data.resize(static_cast<size_t>(std::min<uint64_t>(count, size)));
    const ssize_t got = Core::File::ReadAt(fd, &data[0], data.size(), 0);
    const int error = errno;
    close(fd);
    data.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return got >= 0 || Fail(path + ": " + std::strerror(error));
}
