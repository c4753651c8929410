// Core helpers shared by the firmware tools and the package stamper:
// version packing, command-line numbers, file names, the one way every output
// file is written, and the check that standard output got what was printed.
#pragma once

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Files of 2 to 4 GiB are valid; on 32-bit hosts off_t and struct stat hold
// their sizes only when built with _FILE_OFFSET_BITS=64 (which the fwkit
// targets and fwkit.pc pass on).
static_assert(sizeof(off_t) == 8, "fwkit needs 64-bit file offsets: define _FILE_OFFSET_BITS=64");

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

// Follows a chain of symbolic links (dangling ones included) to the path that
// a write through `path` would reach. A path naming one of the process's
// descriptors ends the chain: what the descriptor refers to has no usable path.
inline std::string FollowLinks(std::string path) {
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

// One output file, classified once when it is opened, written through one
// descriptor and put in place by Commit:
//  - a path naming one of the process's descriptors is written through it as a
//    stream: never truncated, reopened or renamed;
//  - another existing target that is not a regular file (a FIFO, a device) is
//    opened once and streamed into, never removed;
//  - a regular or missing target is written to a temporary file in its directory
//    that Commit renames over it, so the target holds the old content or the
//    complete new one. The temporary file is anonymous (O_TMPFILE) and gets a
//    short name only for the rename; where the file system has no anonymous
//    files it is created under a short name of fixed length. Either name fits
//    beside a target name of 255 bytes;
//  - when no file can be created in the directory (no permission, read-only),
//    an existing target the user may write is truncated and written in place,
//    as a plain write would do.
// Every step works relative to one open directory descriptor, so a path is
// resolved once. An extraction output walks its directory part from the
// directory given, one component at a time, and refuses a symbolic link among
// them; a link at the name itself is replaced, never written through. An
// extraction output of at most 64 KiB is held in memory, and its target looked
// at only by Commit: a new one is created under its own name, written and
// closed with the three signals below blocked, so creating a file is all it
// costs; only a kill that cannot be blocked, between that creation and the end
// of its one write, leaves it incomplete.
//
// Interruption by SIGINT, SIGTERM or SIGHUP needs no signal handler:
//  - the anonymous file has no name, so a run killed by any signal leaves
//    nothing behind; Commit blocks the three signals in the calling thread only
//    across the short step from linking it in to renaming it over the target;
//  - a named temporary file is created with the three signals blocked in the
//    calling thread, and they stay blocked while the name exists. Write asks
//    sigpending whether one of them arrived and then fails with EINTR, so the
//    writer stops; discarding the output removes the name and restores the
//    mask, and the pending signal then ends the program as its disposition says
//    (by default it dies of it). A signal the process ignores is not blocked,
//    so it stays ignored; one the caller had blocked itself is left to it.
// Nothing is left behind when the object goes away without a successful Commit.
class Output {
  public:
    // An output the user named: a symbolic link at `path` is followed, also to a
    // path naming a descriptor.
    explicit Output(const std::string& path) : m_path(path), m_baseFd(AT_FDCWD) {}
    // An output `name` below the open directory `dirfd` (extraction): never
    // through a link among its directories; a link at the name is replaced.
    Output(int dirfd, const std::string& name) : m_path(name), m_baseFd(dirfd), m_below(true) {}
    ~Output() {
        Discard();
        if (m_dirFd >= 0 && m_ownsDir)
            close(m_dirFd);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Leaves a target that is the file `st` describes alone: whatever step finds it
    // there fails, and Spared() says why.
    void Spare(const struct stat& st) {
        m_spare = st;
        m_sparing = true;
    }
    bool Spared() const { return m_spared; }
    // Makes an output that never replaces a file: a target there when it is opened,
    // or one that appears before the output is put in place, fails with EEXIST.
    void KeepExisting() { m_keepExisting = true; }

    // Opens the output; false with Error() (an errno value) or Refusal() set.
    bool Open() {
        const std::string target = m_below ? m_path : FollowLinks(m_path);
        const int own = m_below ? -1 : DescriptorOf(target);
        if (own >= 0) {
            m_kind = Kind::Descriptor;
            m_fd = own;
            return fcntl(own, F_GETFL) != -1 || Fail();
        }
        if (!(m_below ? WalkDirectories() : OpenDirectory(target)))
            return false;
        if (m_below) {
            m_kind = Kind::Held;  // the target is looked at when it is created
            return true;
        }
        return Classify();
    }

    // Looks at the target and opens the output as what it is.
    bool Classify() {
        struct stat st {};
        if (fstatat(m_dirFd, m_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                return Fail();
            m_absent = true;
            return OpenReplacement(nullptr);
        }
        m_absent = false;
        if (m_keepExisting)
            return Fail(EEXIST);
        m_spared = m_sparing && st.st_dev == m_spare.st_dev && st.st_ino == m_spare.st_ino;
        if (m_spared)
            return false;
        if (S_ISDIR(st.st_mode))
            return Fail(EISDIR);
        if (S_ISLNK(st.st_mode))
            return OpenReplacement(nullptr);
        if (!S_ISREG(st.st_mode))
            return OpenTarget(Kind::Stream, 0);
        return OpenReplacement(&st);
    }

    // The descriptor written to; -1 while an extraction output is held in memory.
    int Fd() const { return m_fd; }
    // True when bytes may be written at offsets from the start of the output.
    bool Seekable() const {
        return m_kind == Kind::Anonymous || m_kind == Kind::Named || m_kind == Kind::InPlace ||
               m_kind == Kind::Held;
    }
    // True when bytes written at an offset go straight to a file, from any thread.
    bool Positional() const {
        return m_kind == Kind::Anonymous || m_kind == Kind::Named || m_kind == Kind::InPlace;
    }
    // Where Write writes next in a Positional output; -1 when that cannot be told.
    int64_t Position() const { return Positional() ? lseek(m_fd, 0, SEEK_CUR) : -1; }
    // Moves the position of a Positional output past bytes written with WriteAt.
    bool SetPosition(uint64_t position) {
        return lseek(m_fd, static_cast<off_t>(position), SEEK_SET) >= 0 || Fail();
    }

    // Announces the output's final size: an output held in memory that will not
    // fit there gets its file now, and a temporary file gets its blocks reserved
    // at once, which spares the file system an allocation per page written (where
    // it cannot reserve them, they are allocated as the bytes come).
    bool Expect(uint64_t size) {
        if (m_kind == Kind::Held && size > kHeldLimit && !Spill())
            return false;
        if ((m_kind == Kind::Anonymous || m_kind == Kind::Named) && size > 0)
            fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
        return true;
    }

    // Writes all `size` bytes at the current position; false with Error() otherwise.
    bool Write(const void* data, size_t size) { return WriteAll(data, size, -1); }
    // Writes all `size` bytes at `offset` of a Seekable output.
    bool WriteAt(const void* data, size_t size, uint64_t offset) {
        return WriteAll(data, size, static_cast<off_t>(offset));
    }

    // Puts a complete output in place, or discards it. True when the target now
    // holds the complete output.
    bool Commit(bool complete) {
        if (m_kind == Kind::Held && complete)
            return CreateHeld();
        if (m_fd < 0 || !complete) {
            Discard();
            return false;
        }
        bool done = true;
        if (m_kind == Kind::Anonymous)
            done = LinkIn();
        if (m_kind != Kind::Descriptor && close(m_fd) != 0)
            done = Fail();
        m_fd = -1;
        if (!m_tempName.empty() && !(done && PutInPlace()))
            done = Fail();
        Discard();
        return done;
    }

    int Error() const { return m_error; }
    // Why an extraction target was refused (a link among its directories); empty otherwise.
    const std::string& Refusal() const { return m_refusal; }

  private:
    enum class Kind { None, Descriptor, Stream, Anonymous, Named, InPlace, Held };

    // The largest new extraction target held in memory until Commit.
    static constexpr size_t kHeldLimit = 64u << 10;

    // The first failure stays; writes at offsets may fail on two threads at once.
    bool Fail(int error = errno) {
        int none = 0;
        m_error.compare_exchange_strong(none, error);
        return false;
    }

    // Opens the directory of the target the user named, after its links.
    bool OpenDirectory(const std::string& target) {
        const std::string::size_type slash = target.find_last_of('/');
        m_leaf = slash == std::string::npos ? target : target.substr(slash + 1);
        if (m_leaf.empty())
            m_leaf = ".";
        m_dirFd = open(DirName(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        return m_dirFd >= 0 || Fail();
    }

    // Opens the directories of an extraction name one by one, never through a link.
    bool WalkDirectories() {
        std::string::size_type start = 0;
        std::string::size_type slash = 0;
        while ((slash = m_path.find('/', start)) != std::string::npos) {
            const std::string part = m_path.substr(start, slash - start);
            start = slash + 1;
            if (part.empty() || part == ".")
                continue;
            const int from = m_dirFd >= 0 ? m_dirFd : m_baseFd;
            const int next =
                openat(from, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) {
                const int error = errno;
                struct stat st {};
                if (fstatat(from, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISLNK(st.st_mode))
                    m_refusal = m_path.substr(0, slash) + " is a symbolic link";
                return Fail(error);
            }
            if (m_dirFd >= 0)
                close(m_dirFd);
            m_dirFd = next;
        }
        m_leaf = start < m_path.size() ? m_path.substr(start) : ".";
        if (m_dirFd < 0 && m_baseFd >= 0) {
            m_dirFd = m_baseFd;  // the caller's directory itself, not closed here
            m_ownsDir = false;
        } else if (m_dirFd < 0) {
            m_dirFd = openat(m_baseFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        return m_dirFd >= 0 || Fail();
    }

    // A temporary file that replaces the target (`existing`: the regular file
    // there, or null), or else the existing target itself, written in place.
    bool OpenReplacement(const struct stat* existing) {
        if (existing != nullptr && faccessat(m_dirFd, m_leaf.c_str(), W_OK, AT_EACCESS) != 0)
            return Fail();
        if (OpenAnonymous() || (m_error == 0 && OpenNamed())) {
            if (existing != nullptr)
                fchmod(m_fd, existing->st_mode & 07777);
            return true;
        }
        if (existing == nullptr || (m_error != EACCES && m_error != EPERM && m_error != EROFS))
            return false;
        m_error = 0;
        return OpenTarget(Kind::InPlace, O_TRUNC);
    }

    // Opens the target itself: a stream, or a regular file written in place.
    bool OpenTarget(Kind kind, int flags) {
        m_fd =
            openat(m_dirFd, m_leaf.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | flags);
        if (m_fd < 0)
            return Fail();
        m_kind = kind;
        return true;
    }

    // An anonymous file in the target's directory that can be linked in through
    // /proc; false without an error when the file system or /proc lacks them.
    bool OpenAnonymous() {
        m_fd = openat(m_dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? false : Fail();
        struct stat own {};
        struct stat named {};
        if (fstat(m_fd, &own) == 0 && stat(ProcPath().c_str(), &named) == 0 &&
            own.st_dev == named.st_dev && own.st_ino == named.st_ino) {
            m_kind = Kind::Anonymous;
            return true;
        }
        close(m_fd);
        m_fd = -1;
        return false;
    }

    // A temporary file under a short name, created with the signals blocked.
    bool OpenNamed() {
        BlockSignals(true);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName();
            m_fd = openat(m_dirFd, name.c_str(),
                          O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (m_fd >= 0) {
                m_tempName = name;
                m_kind = Kind::Named;
                return true;
            }
            if (errno != EEXIST)
                break;
        }
        Fail();
        RestoreSignals();
        return false;
    }

    // Gives the anonymous file a short name beside the target; Commit renames it,
    // with the stopping signals blocked from the link to the rename. A target that
    // was absent gets the complete file under its own name in one step (linkat never
    // replaces), which leaves no name to clean up; one that appeared meanwhile is
    // replaced like any other.
    bool LinkIn() {
        if (m_absent) {
            if (linkat(AT_FDCWD, ProcPath().c_str(), m_dirFd, m_leaf.c_str(), AT_SYMLINK_FOLLOW) ==
                0)
                return true;
            if (errno != EEXIST || m_keepExisting)
                return Fail();
        }
        BlockSignals(false);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string name = TemporaryName();
            if (linkat(AT_FDCWD, ProcPath().c_str(), m_dirFd, name.c_str(), AT_SYMLINK_FOLLOW) ==
                0) {
                m_tempName = name;
                return true;
            }
            if (errno != EEXIST)
                return Fail();
        }
        return Fail(EEXIST);
    }

    // Moves the named temporary file onto the target: a rename, or, where an existing
    // file must be kept, a link (which fails when one is there) whose temporary name
    // Discard then removes.
    bool PutInPlace() {
        if (m_keepExisting)
            return linkat(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str(), 0) == 0;
        if (renameat(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str()) != 0)
            return false;
        m_tempName.clear();
        return true;
    }

    // Opens the output held in memory as what its target is and writes the bytes held.
    bool Spill() {
        m_kind = Kind::None;
        if (!Classify())
            return false;
        std::vector<uint8_t> held;
        held.swap(m_held);
        return WriteAll(held.data(), held.size(), -1);
    }

    // Creates the target held in memory under its own name and writes it, the
    // stopping signals blocked from the creation to the close; a file that
    // cannot be written in full is removed again. A target that exists already
    // is replaced, or written into, as Open would have done.
    bool CreateHeld() {
        BlockSignals(false);
        const int fd = openat(m_dirFd, m_leaf.c_str(),
                              O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            const int error = errno;
            RestoreSignals();
            if (error != EEXIST)
                return Fail(error);
            return Spill() && Commit(true);
        }
        m_fd = fd;
        m_kind = Kind::InPlace;
        bool done = WriteAll(m_held.data(), m_held.size(), -1);
        done = close(fd) == 0 ? done : Fail();
        m_fd = -1;
        // Only the name made here goes: whoever could put another file under it
        // could remove that file as well.
        if (!done)
            unlinkat(m_dirFd, m_leaf.c_str(), 0);
        RestoreSignals();
        m_held.clear();
        return done;
    }

    std::string ProcPath() const { return "/proc/self/fd/" + std::to_string(m_fd); }

    // ".fwkit" and six random letters or digits.
    static std::string TemporaryName() {
        const char* const kChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        uint64_t bits = 0;
        if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
            struct timespec now {};
            clock_gettime(CLOCK_MONOTONIC, &now);
            bits = static_cast<uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15u ^
                   static_cast<uint64_t>(getpid());
        }
        std::string name = ".fwkit";
        for (int i = 0; i < 6; ++i, bits /= 62)
            name += kChars[bits % 62];
        return name;
    }

    // Keeps bytes of an output held in memory, at `offset` or at its end.
    bool Hold(const void* data, size_t size, off_t offset) {
        const size_t at = offset < 0 ? m_held.size() : static_cast<size_t>(offset);
        if (at + size > kHeldLimit)
            return Spill() && WriteAll(data, size, offset);
        if (at + size > m_held.size())
            m_held.resize(at + size);
        std::memcpy(m_held.data() + at, data, size);
        return true;
    }

    bool WriteAll(const void* data, size_t size, off_t offset) {
        if (m_kind == Kind::Held)
            return Hold(data, size, offset);
        if (m_kind == Kind::Named && Interrupted())
            return Fail(EINTR);
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t n = offset < 0 ? write(m_fd, at, size) : pwrite(m_fd, at, size, offset);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return Fail(n == 0 ? EIO : errno);
            at += n;
            size -= static_cast<size_t>(n);
            if (offset >= 0)
                offset += n;
        }
        return true;
    }

    // The signals that stop a program, less those the process ignores when
    // `lessIgnored`: Linux keeps even an ignored signal pending while it is
    // blocked, and it must not stop the writer of a named file. All three when
    // the ignored ones cannot be learnt. The short link-and-rename step of an
    // anonymous file blocks all three: an ignored one is dropped when unblocked.
    static sigset_t Stopping(bool lessIgnored) {
        uint64_t ignored = 0;
        FILE* status = lessIgnored ? std::fopen("/proc/self/status", "re") : nullptr;
        if (status != nullptr) {
            char line[256];
            while (std::fgets(line, sizeof line, status) != nullptr) {
                if (std::strncmp(line, "SigIgn:", 7) == 0)
                    ignored = std::strtoull(line + 7, nullptr, 16);
            }
            std::fclose(status);
        }
        sigset_t set;
        sigemptyset(&set);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            if (((ignored >> (sig - 1)) & 1u) == 0)
                sigaddset(&set, sig);
        }
        return set;
    }

    void BlockSignals(bool lessIgnored) {
        if (m_blocked)
            return;
        m_stopping = Stopping(lessIgnored);
        m_blocked = pthread_sigmask(SIG_BLOCK, &m_stopping, &m_savedMask) == 0;
    }

    void RestoreSignals() {
        if (m_blocked)
            pthread_sigmask(SIG_SETMASK, &m_savedMask, nullptr);
        m_blocked = false;
    }

    // True when a signal that stops the program arrived while it was blocked here.
    bool Interrupted() const {
        sigset_t pending;
        if (!m_blocked || sigpending(&pending) != 0)
            return false;
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            if (sigismember(&pending, sig) == 1 && sigismember(&m_stopping, sig) == 1 &&
                sigismember(&m_savedMask, sig) == 0)
                return true;
        }
        return false;
    }

    void Discard() {
        if (m_fd >= 0 && m_kind != Kind::Descriptor)
            close(m_fd);
        m_fd = -1;
        m_held.clear();
        if (!m_tempName.empty())
            unlinkat(m_dirFd, m_tempName.c_str(), 0);
        m_tempName.clear();
        RestoreSignals();
    }

    std::string m_path;
    int m_baseFd;
    bool m_below = false;
    int m_dirFd = -1;
    std::string m_leaf;
    bool m_ownsDir = true;  // m_dirFd was opened here and is closed here
    bool m_absent = false;  // no file at the target when it was looked at
    bool m_sparing = false;   // a target that is m_spare is left alone
    struct stat m_spare {};
    bool m_spared = false;  // and it was found at the target
    bool m_keepExisting = false;  // a file at the target is never replaced
    std::vector<uint8_t> m_held;  // the bytes of an output held in memory
    std::string m_tempName;
    int m_fd = -1;
    Kind m_kind = Kind::None;
    std::atomic<int> m_error{0};
    std::string m_refusal;
    bool m_blocked = false;
    sigset_t m_stopping{};
    sigset_t m_savedMask{};
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
    // A write that failed earlier left the error flag; its reason is in errno
    // unless a flush that fails now gives a fresher one.
    int error = errno;
    bool failed = std::ferror(stdout) != 0;
    if (std::fflush(stdout) != 0) {
        failed = true;
        error = errno;
    }
    if (!failed && close(STDOUT_FILENO) != 0 && errno != EBADF) {
        failed = true;
        error = errno;
    }
    if (!failed)
        return status;
    std::fprintf(stderr, "%s: write error: %s\n", program, std::strerror(error));
    return 1;
}

// For a program's main, before it prints anything: an output that is the
// standard output must hold the output's bytes and nothing else. Standard output
// then becomes a copy of standard error, so every line the program prints goes
// there, and the returned path names a new descriptor for the original standard
// output. Any other `output` comes back unchanged.
inline std::string SeparateFromMessages(const std::string& output) {
    if (File::DescriptorOf(File::FollowLinks(output)) != STDOUT_FILENO)
        return output;
    std::fflush(stdout);
    const int kept = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (kept < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0)
        return output;
    // Lines then reach standard error in the order they were printed, beside
    // those written there directly.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return "/dev/fd/" + std::to_string(kept);
}

}  // namespace Core
