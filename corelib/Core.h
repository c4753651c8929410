// Core helpers shared by the firmware tools and the package stamper:
// version packing, command-line numbers, and safe replacement of output files.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace Core {

namespace Version {

// Packs a version into one signed 32-bit number: bits 31-24 hold the low 8 bits
// of major, bits 23-16 the low 8 bits of minor, bits 15-0 the low 16 bits of build.
inline int32_t ToNumber(int32_t major, int32_t minor, int32_t build) {
    const uint32_t packed = ((static_cast<uint32_t>(major) & 0xFFu) << 24) |
                            ((static_cast<uint32_t>(minor) & 0xFFu) << 16) |
                            (static_cast<uint32_t>(build) & 0xFFFFu);
    return static_cast<int32_t>(packed);
}

}  // namespace Version

namespace Number {

// Reads a command-line number as strtol does in base 10, without checks, and
// clamps it to the signed 32-bit range (strtol's long is 64 bits on some hosts).
inline int32_t ToInt32(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace Number

namespace File {

// True when both paths name the same existing file (same device and inode),
// however each is spelled.
inline bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Size of an existing file in bytes, or -1 when it cannot be looked at.
inline long long FileSize(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

inline std::string DirName(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Why `name`, taken from a file, may not be used as a path below the working
// directory (absolute, a ".." component, a zero byte); null when it may.
inline const char* UnsafeNameReason(const std::string& name) {
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

enum class ReadState { Readable, Unreadable, Empty };

// Whether `path` can be opened and read, and holds at least one byte.
inline ReadState CheckReadable(const std::string& path) {
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

// Follows a chain of symbolic links (dangling ones included) to the path that
// a write through `path` would reach.
inline std::string FollowLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
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

// An output file written in full or not at all. A regular (or missing) target
// is written to a temporary file beside it and renamed over it by Commit; an
// existing target that is not a regular file (a device, a pipe) is written
// directly and never removed.
class Replacement {
  public:
    explicit Replacement(const std::string& path) : m_target(FollowLinks(path)) {
        struct stat st {};
        const bool exists = stat(m_target.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            m_writePath = m_target;
            m_direct = true;
            return;
        }
        MakeTemporary(exists ? (st.st_mode & 07777) : DefaultMode());
    }
    ~Replacement() { Abandon(); }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // False when no temporary file could be made beside the target.
    bool Ready() const { return !m_writePath.empty(); }
    // The path to write the bytes to.
    const std::string& WritePath() const { return m_writePath; }

    // Puts the written file in place when `complete`, otherwise throws it away.
    // Returns true when the target now holds the complete output.
    bool Commit(bool complete) {
        if (!Ready())
            return false;
        if (m_direct)
            return complete;
        if (complete && std::rename(m_writePath.c_str(), m_target.c_str()) == 0) {
            m_writePath.clear();
            return true;
        }
        Abandon();
        return false;
    }

  private:
    static mode_t DefaultMode() {
        const mode_t mask = umask(0);
        umask(mask);
        return 0666 & ~mask;
    }

    void MakeTemporary(mode_t mode) {
        std::string name = m_target;
        const std::string::size_type slash = name.find_last_of('/');
        name.insert(slash == std::string::npos ? 0 : slash + 1, ".");
        name += ".XXXXXX";
        const int fd = mkstemp(&name[0]);
        if (fd < 0)
            return;
        fchmod(fd, mode);
        close(fd);
        m_writePath = name;
    }

    void Abandon() {
        if (!m_direct && !m_writePath.empty())
            std::remove(m_writePath.c_str());
        m_writePath.clear();
    }

    std::string m_target;
    std::string m_writePath;
    bool m_direct = false;
};

}  // namespace File

}  // namespace Core
