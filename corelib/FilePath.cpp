#include "FilePath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Core {
namespace File {

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string OpenRegular(const std::string& path, int& fd, struct stat& st) {
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0)
        return std::strerror(errno);
    if (S_ISDIR(st.st_mode))
        return std::strerror(EISDIR);
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    return std::string();
}

std::string RegularFileProblem(const std::string& path) {
    int fd = -1;
    struct stat st {};
    const std::string cause = OpenRegular(path, fd, st);
    if (fd >= 0)
        close(fd);
    return cause;
}

long long FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

std::string DirName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* UnsafeNameReason(const std::string& name) {
    if (name.find('\0') != std::string::npos)
        return "the name holds a zero byte";
    if (!name.empty() && name[0] == '/')
        return "the name is an absolute path";
    std::string::size_type start = 0;
    while (start <= name.size()) {
        std::string::size_type end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0)
            return "the name holds a '..' component";
        start = end + 1;
    }
    return nullptr;
}

ReadState CheckReadable(const std::string& path) {
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (fp == nullptr)
        return ReadState::Unreadable;
    const int first = std::fgetc(fp);
    const bool failed = std::ferror(fp) != 0;
    std::fclose(fp);
    if (failed)
        return ReadState::Unreadable;
    return first == EOF ? ReadState::Empty : ReadState::Readable;
}

int DescriptorOf(const std::string& path) {
    if (path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const size_t length = std::strlen(prefix);
        if (path.compare(0, length, prefix) != 0 || path.size() == length ||
            path.size() > length + 9)
            continue;
        const std::string digits = path.substr(length);
        if (digits.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::atoi(digits.c_str());
    }
    return -1;
}

std::string FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        if (DescriptorOf(path) >= 0)
            return path;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string target(static_cast<size_t>(st.st_size) + 256, '\0');
        const ssize_t len = readlink(path.c_str(), &target[0], target.size());
        if (len <= 0)
            return path;
        target.resize(static_cast<size_t>(len));
        path = target[0] == '/' ? target : DirName(path) + "/" + target;
    }
    return path;
}

ClosedAtEnd::~ClosedAtEnd() {
    if (fd >= 0)
        close(fd);
}

ssize_t ReadSome(int fd, void* buffer, size_t size) {
    ssize_t got = 0;
    do
        got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

ssize_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset) {
    char* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, at + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace File
}  // namespace Core
