#include "Output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FilePath.h"

namespace Core {
namespace File {

Output::~Output() {
    Discard();
    if (m_dirFd >= 0 && m_ownsDir)
        close(m_dirFd);
}

void Output::Protect(const std::string& path, const std::string& role) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0)
        Protect(st, role);
}

void Output::Protect(const struct stat& st, const std::string& role) {
    m_protected.push_back({st.st_dev, st.st_ino, role});
}

bool Output::Clashes(const struct stat& st) {
    for (const Protected& input : m_protected) {
        if (input.dev == st.st_dev && input.ino == st.st_ino) {
            m_clash = input.role;
            return true;
        }
    }
    return false;
}

std::string Output::Cause() const {
    if (!m_clash.empty())
        return "is " + m_clash + " itself";
    if (!m_refusal.empty())
        return m_refusal;
    const char* reason = std::strerror(m_error != 0 ? m_error.load() : EIO);
    if (m_beside)
        return std::string("cannot write beside it (") + reason + "); nothing was written";
    return reason;
}

bool Output::Open() {
    const std::string target = m_below ? m_path : FollowLinks(m_path);
    const int own = m_below ? -1 : DescriptorOf(target);
    if (own >= 0) {
        m_kind = Kind::Descriptor;
        m_fd = own;
        struct stat st {};
        if (fstat(own, &st) != 0)
            return Fail();
        return !Clashes(st) || Fail(EEXIST);
    }
    if (!(m_below ? WalkDirectories() : OpenDirectory(target)))
        return false;
    if (m_below) {
        m_kind = Kind::Held;  // the target is looked at when it is created
        return true;
    }
    return Classify();
}

bool Output::Classify() {
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
    if (Clashes(st))
        return Fail(EEXIST);
    if (S_ISDIR(st.st_mode))
        return Fail(EISDIR);
    if (S_ISLNK(st.st_mode))
        return OpenReplacement(nullptr);
    if (!S_ISREG(st.st_mode))
        return OpenTarget(Kind::Stream, 0);
    return OpenReplacement(&st);
}

bool Output::Seekable() const {
    return m_kind == Kind::Anonymous || m_kind == Kind::Named || m_kind == Kind::InPlace ||
           m_kind == Kind::Held;
}

bool Output::Positional() const {
    return m_kind == Kind::Anonymous || m_kind == Kind::Named || m_kind == Kind::InPlace;
}

bool Output::SetPosition(uint64_t position) {
    return lseek(m_fd, static_cast<off_t>(position), SEEK_SET) >= 0 || Fail();
}

bool Output::Expect(uint64_t size) {
    if (m_kind == Kind::Held && size > kHeldLimit && !Spill())
        return false;
    if ((m_kind == Kind::Anonymous || m_kind == Kind::Named) && size > 0)
        fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size));
    return true;
}

bool Output::WriteAt(const void* data, size_t size, uint64_t offset) {
    return WriteAll(data, size, static_cast<off_t>(offset));
}

bool Output::Commit(bool complete) {
    if (m_kind == Kind::Held && complete)
        return CreateHeld();
    if (m_fd < 0 || !complete) {
        Discard();
        return false;
    }
    const bool placed = m_kind == Kind::Anonymous || m_kind == Kind::Named;
    bool done =
        m_kind == Kind::Descriptor || m_kind == Kind::Stream ? SyncStream() : SyncData(!m_absent);
    if (done && m_kind == Kind::Anonymous)
        done = LinkIn();
    if (m_kind != Kind::Descriptor && close(m_fd) != 0)
        done = Fail();
    m_fd = -1;
    if (!m_tempName.empty() && !(done && PutInPlace()))
        done = Fail();
    if (done && placed)
        done = SyncDirectory();
    Discard();
    return done;
}

// A file's data reaches the disk before its name does, so that a name never
// holds less than its whole content; a new file whose syncs were deferred waits
// for SyncFileSystem.
bool Output::SyncData(bool replacing) {
    if (m_deferSync && !replacing)
        return true;
    return fdatasync(m_fd) == 0 || Fail();
}

// A regular file or a block device behind a stream target is synced; what the
// kernel cannot sync (EINVAL, EROFS) needs none.
bool Output::SyncStream() {
    struct stat st {};
    if (fstat(m_fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)))
        return true;
    return fsync(m_fd) == 0 || errno == EINVAL || errno == EROFS || Fail();
}

// The directory that got the new name, so that the name survives a power cut.
bool Output::SyncDirectory() {
    if (m_deferSync)
        return true;
    const int fd = openat(m_dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && !SyncFileSystem(m_dirFd))
        return Fail();
    if (fd >= 0) {
        const bool synced = fsync(fd) == 0 || errno == EINVAL;
        const int error = errno;
        close(fd);
        if (!synced)
            return Fail(error);
    }
    return true;
}

// A directory the process may not read cannot be opened for syncfs: every file
// system is synced then.
bool Output::SyncFileSystem(int dirfd) {
    const int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        sync();
        return true;
    }
    const bool synced = syncfs(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

bool Output::Fail(int error) {
    int none = 0;
    m_error.compare_exchange_strong(none, error);
    return false;
}

bool Output::OpenDirectory(const std::string& target) {
    const std::string::size_type slash = target.find_last_of('/');
    m_leaf = slash == std::string::npos ? target : target.substr(slash + 1);
    if (m_leaf.empty())
        m_leaf = ".";
    m_dirFd = open(DirName(target).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return m_dirFd >= 0 || Fail();
}

bool Output::WalkDirectories() {
    std::string::size_type start = 0;
    std::string::size_type slash = 0;
    while ((slash = m_path.find('/', start)) != std::string::npos) {
        const std::string part = m_path.substr(start, slash - start);
        start = slash + 1;
        if (part.empty() || part == ".")
            continue;
        const int from = m_dirFd >= 0 ? m_dirFd : m_baseFd;
        const int next = openat(from, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int error = errno;
            struct stat st {};
            if (fstatat(from, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
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

bool Output::OpenReplacement(const struct stat* existing) {
    if (existing != nullptr && faccessat(m_dirFd, m_leaf.c_str(), W_OK, AT_EACCESS) != 0)
        return Fail();
    if (OpenAnonymous() || (m_error == 0 && OpenNamed())) {
        if (existing != nullptr)
            fchmod(m_fd, existing->st_mode & 07777);
        return true;
    }
    if (existing == nullptr || (m_error != EACCES && m_error != EPERM && m_error != EROFS))
        return false;
    m_beside = !m_allowInPlace;
    if (m_beside)
        return false;
    m_error = 0;
    return OpenTarget(Kind::InPlace, O_TRUNC);
}

bool Output::OpenTarget(Kind kind, int flags) {
    m_fd = openat(m_dirFd, m_leaf.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC | flags);
    if (m_fd < 0)
        return Fail();
    m_kind = kind;
    return true;
}

bool Output::OpenAnonymous() {
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

bool Output::OpenNamed() {
    BlockSignals(true);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName();
        m_fd = openat(m_dirFd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC,
                      0666);
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

bool Output::LinkIn() {
    if (m_absent) {
        if (linkat(AT_FDCWD, ProcPath().c_str(), m_dirFd, m_leaf.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST || m_keepExisting)
            return Fail();
    }
    BlockSignals(false);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = TemporaryName();
        if (linkat(AT_FDCWD, ProcPath().c_str(), m_dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            m_tempName = name;
            return true;
        }
        if (errno != EEXIST)
            return Fail();
    }
    return Fail(EEXIST);
}

bool Output::PutInPlace() {
    if (m_keepExisting)
        return linkat(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str(), 0) == 0;
    if (renameat(m_dirFd, m_tempName.c_str(), m_dirFd, m_leaf.c_str()) != 0)
        return false;
    m_tempName.clear();
    return true;
}

bool Output::Spill() {
    m_kind = Kind::None;
    if (!Classify())
        return false;
    std::vector<uint8_t> held;
    held.swap(m_held);
    return WriteAll(held.data(), held.size(), -1);
}

bool Output::CreateHeld() {
    BlockSignals(false);
    const int fd =
        openat(m_dirFd, m_leaf.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;
        RestoreSignals();
        if (error != EEXIST)
            return Fail(error);
        return Spill() && Commit(true);
    }
    m_fd = fd;
    m_kind = Kind::InPlace;
    bool done = WriteAll(m_held.data(), m_held.size(), -1) && SyncData(false);
    done = close(fd) == 0 ? done : Fail();
    m_fd = -1;
    done = done && SyncDirectory();
    // Only the name made here goes: whoever could put another file under it
    // could remove that file as well.
    if (!done)
        unlinkat(m_dirFd, m_leaf.c_str(), 0);
    RestoreSignals();
    m_held.clear();
    return done;
}

std::string Output::TemporaryName() {
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

bool Output::Hold(const void* data, size_t size, off_t offset) {
    const size_t at = offset < 0 ? m_held.size() : static_cast<size_t>(offset);
    if (at + size > kHeldLimit)
        return Spill() && WriteAll(data, size, offset);
    if (at + size > m_held.size())
        m_held.resize(at + size);
    std::memcpy(m_held.data() + at, data, size);
    return true;
}

bool Output::WriteAll(const void* data, size_t size, off_t offset) {
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
        else
            StartWriteback(static_cast<size_t>(n));
    }
    return true;
}

// A new file that is synced when committed has what was written in order
// sent to the disk every kWritebackBytes, so that the disk writes while the
// writer works and the final sync waits for the last stretch only.
void Output::StartWriteback(size_t written) {
    if ((m_kind != Kind::Anonymous && m_kind != Kind::Named) || m_deferSync)
        return;
    m_unsent += written;
    if (m_unsent < kWritebackBytes)
        return;
    const off_t end = lseek(m_fd, 0, SEEK_CUR);
    const off_t length = static_cast<off_t>(m_unsent);
    m_unsent = 0;
    if (end >= length)
        sync_file_range(m_fd, end - length, length, SYNC_FILE_RANGE_WRITE);
}

sigset_t Output::Stopping(bool lessIgnored) {
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

void Output::BlockSignals(bool lessIgnored) {
    if (m_blocked)
        return;
    m_stopping = Stopping(lessIgnored);
    m_blocked = pthread_sigmask(SIG_BLOCK, &m_stopping, &m_savedMask) == 0;
}

void Output::RestoreSignals() {
    if (m_blocked)
        pthread_sigmask(SIG_SETMASK, &m_savedMask, nullptr);
    m_blocked = false;
}

bool Output::Interrupted() const {
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

void Output::Discard() {
    if (m_fd >= 0 && m_kind != Kind::Descriptor)
        close(m_fd);
    m_fd = -1;
    m_held.clear();
    if (!m_tempName.empty())
        unlinkat(m_dirFd, m_tempName.c_str(), 0);
    m_tempName.clear();
    RestoreSignals();
}

}  // namespace File
}  // namespace Core
