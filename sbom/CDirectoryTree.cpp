#include "CDirectoryTree.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
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

int CDirectoryTree::OpenFile(const std::string& path, bool follow) {
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
    return fd;
}

bool CDirectoryTree::Size(const std::string& path, uint64_t& size) {
    const int fd = OpenFile(path, true);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool known = fstat(fd, &st) == 0;
    close(fd);
    size = known ? static_cast<uint64_t>(st.st_size) : 0;
    return known || Fail(path + ": " + std::strerror(errno));
}

bool CDirectoryTree::Stream(const std::string& path, const Sink& sink, bool follow) {
    const int fd = OpenFile(path, follow);
    if (fd < 0)
        return false;
    std::vector<char> piece(kDirectoryPiece);
    ssize_t got = 0;
    while ((got = Core::File::ReadSome(fd, piece.data(), piece.size())) > 0)
        sink(piece.data(), static_cast<size_t>(got));
    const int error = errno;
    close(fd);
    return got == 0 || Fail(path + ": " + std::strerror(error));
}
