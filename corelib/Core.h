// Core helpers shared by the firmware tools and the package stamper:
// version packing, command-line numbers, and safe replacement of output files.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The process descriptor that `path` names ("/dev/stdout", "/dev/stderr",
// "/dev/fd/N", "/proc/self/fd/N"), or -1 when it names none. Such a path is
// written through the descriptor itself, never reopened by name.
inline int DescriptorOf(const std::string& path) {
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

// One output file, classified once when it is opened, written through one
// descriptor and put in place by Commit:
//  - a path naming one of the process's descriptors is written through it as a stream;
//  - another existing target that is not a regular file (a FIFO, a device) is opened
//    once and streamed into, never removed;
//  - a regular or missing target gets a temporary file in its directory that Commit
//    renames over it, so the target holds the old content or the complete new one.
// Nothing is left behind when the object goes away without a successful Commit.
class Output {
  public:
    // An output the user named: a symbolic link at `path` is followed.
    explicit Output(const std::string& path)
        : m_path(path), m_target(FollowLinks(path)), m_dirfd(AT_FDCWD) {
        const std::string::size_type slash = m_target.find_last_of('/');
        m_leaf = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
        m_dir = DirName(m_target);
    }
    // An output `name` below the open directory `dirfd` (extraction).
    Output(int dirfd, const std::string& name) : m_path(name), m_target(name), m_dirfd(dirfd) {
        const std::string::size_type slash = name.find_last_of('/');
        m_leaf = slash == std::string::npos ? name : name.substr(slash + 1);
        m_dir = slash == std::string::npos ? "." : name.substr(0, slash);
    }
    ~Output() { Discard(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Opens the output; false with Error() (an errno value) or Refusal() set.
    bool Open() {
        const int own = DescriptorOf(m_path);
        if (own >= 0) {
            m_kind = Kind::Descriptor;
            m_fd = own;
            return fcntl(own, F_GETFL) != -1 || Fail();
        }
        struct stat st {};
        const bool exists = fstatat(m_dirfd, m_target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (exists && S_ISDIR(st.st_mode))
            return Fail(EISDIR);
        if (exists && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
            m_kind = Kind::Stream;
            m_fd = openat(m_dirfd, m_target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
            return m_fd >= 0 || Fail();
        }
        const bool regular = exists && S_ISREG(st.st_mode);
        if (regular && faccessat(m_dirfd, m_target.c_str(), W_OK, AT_EACCESS) != 0)
            return Fail();
        m_kind = Kind::Replace;
        m_fd = openat(m_dirfd, m_dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return Fail();
        if (regular)
            fchmod(m_fd, st.st_mode & 07777);
        return true;
    }

    int Fd() const { return m_fd; }
    // True when bytes may be written at offsets from the start of the output.
    bool Seekable() const { return m_kind == Kind::Replace || m_kind == Kind::InPlace; }
    // Writes all `size` bytes at the current position; false with Error() otherwise.
    bool Write(const void* data, size_t size) {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = write(m_fd, at, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Fail(n == 0 ? EIO : errno);
            at += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }
    // Writes all `size` bytes at `offset` of a Seekable output.
    bool WriteAt(const void* data, size_t size, uint64_t offset) {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = pwrite(m_fd, at, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Fail(n == 0 ? EIO : errno);
            at += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    // Puts a complete output in place, or discards it. True when the target now
    // holds the complete output.
    bool Commit(bool complete) {
        if (m_fd < 0)
            return false;
        if (!complete) {
            Discard();
            return false;
        }
        if (m_kind == Kind::Descriptor) {
            m_fd = -1;
            return true;
        }
        if (m_kind == Kind::Replace && !LinkIn())
            return false;
        const int fd = m_fd;
        m_fd = -1;
        return close(fd) == 0 || Fail();
    }

    int Error() const { return m_error; }
    // Why an extraction target was refused (a link among its directories); empty otherwise.
    const std::string& Refusal() const { return m_refusal; }

  private:
    enum class Kind { None, Descriptor, Stream, Replace, InPlace };

    bool Fail(int error = errno) {
        if (m_error == 0)
            m_error = error;
        return false;
    }

    // Gives the anonymous temporary file a short name beside the target and renames
    // it over the target.
    bool LinkIn() {
        const std::string proc = "/proc/self/fd/" + std::to_string(m_fd);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name =
                m_dir + "/.fwkit" + std::to_string(getpid()) + "." + std::to_string(attempt);
            if (linkat(AT_FDCWD, proc.c_str(), m_dirfd, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
                if (errno == EEXIST)
                    continue;
                return Fail();
            }
            if (renameat(m_dirfd, name.c_str(), m_dirfd, m_target.c_str()) != 0) {
                Fail();
                unlinkat(m_dirfd, name.c_str(), 0);
                return false;
            }
            return true;
        }
        return Fail(EEXIST);
    }

    void Discard() {
        if (m_fd >= 0 && m_kind != Kind::Descriptor)
            close(m_fd);
        m_fd = -1;
    }

    std::string m_path;
    std::string m_target;
    std::string m_leaf;
    std::string m_dir;
    int m_dirfd;
    int m_fd = -1;
    Kind m_kind = Kind::None;
    int m_error = 0;
    std::string m_refusal;
};

}  // namespace File

}  // namespace Core

namespace Core {

namespace Text {

// A name from a file as it is shown in listings and messages: bytes below 0x20,
// the byte 0x7F and the backslash become C escapes, every other byte stays as stored.
inline std::string Escaped(const std::string& name) {
    std::string shown;
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                shown += "\\\\";
                break;
            case '\n':
                shown += "\\n";
                break;
            case '\t':
                shown += "\\t";
                break;
            case '\r':
                shown += "\\r";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    static const char kHex[] = "0123456789abcdef";
                    shown += "\\x";
                    shown += kHex[byte >> 4];
                    shown += kHex[byte & 0xF];
                } else {
                    shown += c;
                }
        }
    }
    return shown;
}

}  // namespace Text

// Ends a program: makes sure what it printed on standard output got there.
// Returns `status`, or 1 after saying "PROGRAM: write error: REASON" on standard
// error when standard output could not be written or closed. A standard output
// that was closed at start with nothing written to it is not an error.
inline int CloseStdout(const char* program, int status) {
    const bool pending = std::ferror(stdout) != 0 || std::fflush(stdout) != 0;
    const int flushError = errno;
    if (!pending && close(STDOUT_FILENO) == 0)
        return status;
    const int error = pending ? flushError : errno;
    if (!pending && error == EBADF)
        return status;
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(error));
    return 1;
}

}  // namespace Core
