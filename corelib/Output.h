// The one way every output file is written.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Core {
namespace File {

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
//    the output refuses before it writes anything (Cause() says so): bytes
//    written before they are known good never land on a target. Only a writer
//    that asks for it (AllowInPlace: every byte it writes is final) has an
//    existing target the user may write truncated and written in place, as a
//    plain write would do.
// An output never replaces one of the writer's own inputs (Protect).
// What Commit puts in place is on the disk before Commit reports success: the
// file's data is synced before it is linked in or renamed, then its directory;
// a stream target is synced where the kernel allows it (a regular file or a
// block device behind a descriptor; a pipe, a terminal or a character device
// needs none).
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
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Leaves the writer's own inputs alone: whatever step finds at the target the
    // file `path` names, or the file `st` describes (same device and inode), fails,
    // and Clash() gives the `role` the input was protected as ("the key"). A path
    // that names no file protects nothing.
    void Protect(const std::string& path, const std::string& role);
    void Protect(const struct stat& st, const std::string& role);
    // The role of the protected input found at the target; empty when none was.
    const std::string& Clash() const { return m_clash; }
    // Lets an existing regular target be truncated and written in place when no
    // file can be made beside it; only for a writer whose bytes are final as they
    // are written. Without it such an output is refused before anything is written.
    void AllowInPlace() { m_allowInPlace = true; }
    // Leaves the syncs of new files and their directories to the caller, who calls
    // SyncFileSystem before reporting success (an extraction of many files). A file
    // that replaces another is still synced before it is renamed over it.
    void DeferSync() { m_deferSync = true; }
    // Makes an output that never replaces a file: a target there when it is opened,
    // or one that appears before the output is put in place, fails with EEXIST.
    void KeepExisting() { m_keepExisting = true; }

    // Opens the output; false with Error() (an errno value) or Refusal() set.
    bool Open();

    // Looks at the target and opens the output as what it is.
    bool Classify();

    // The descriptor written to; -1 while an extraction output is held in memory.
    int Fd() const { return m_fd; }
    // True when bytes may be written at offsets from the start of the output.
    bool Seekable() const;
    // True when bytes written at an offset go straight to a file, from any thread.
    bool Positional() const;
    // Where Write writes next in a Positional output; -1 when that cannot be told.
    int64_t Position() const { return Positional() ? lseek(m_fd, 0, SEEK_CUR) : -1; }
    // Moves the position of a Positional output past bytes written with WriteAt.
    bool SetPosition(uint64_t position);

    // Announces the output's final size: an output held in memory that will not
    // fit there gets its file now, and a temporary file gets its blocks reserved
    // at once, which spares the file system an allocation per page written (where
    // it cannot reserve them, they are allocated as the bytes come).
    bool Expect(uint64_t size);

    // Writes all `size` bytes at the current position; false with Error() otherwise.
    bool Write(const void* data, size_t size) { return WriteAll(data, size, -1); }
    // Writes all `size` bytes at `offset` of a Seekable output.
    bool WriteAt(const void* data, size_t size, uint64_t offset);

    // Puts a complete output in place, or discards it. True when the target now
    // holds the complete output.
    bool Commit(bool complete);

    // Syncs the file system that holds the directory `dirfd` (any descriptor, O_PATH
    // included), for outputs that deferred their syncs; false with errno set.
    static bool SyncFileSystem(int dirfd);

    int Error() const { return m_error; }
    // The failure in words: the input clashed with, the refusal, or the system's
    // description of Error().
    std::string Cause() const;
    // Why an extraction target was refused (a link among its directories); empty otherwise.
    const std::string& Refusal() const { return m_refusal; }

  private:
    enum class Kind { None, Descriptor, Stream, Anonymous, Named, InPlace, Held };

    // The largest new extraction target held in memory until Commit.
    static constexpr size_t kHeldLimit = 64u << 10;

    // The first failure stays; writes at offsets may fail on two threads at once.
    bool Fail(int error = errno);

    // Opens the directory of the target the user named, after its links.
    bool OpenDirectory(const std::string& target);

    // Opens the directories of an extraction name one by one, never through a link.
    bool WalkDirectories();

    // A temporary file that replaces the target (`existing`: the regular file
    // there, or null), or else the existing target itself, written in place.
    bool OpenReplacement(const struct stat* existing);

    // Opens the target itself: a stream, or a regular file written in place.
    bool OpenTarget(Kind kind, int flags);

    // An anonymous file in the target's directory that can be linked in through
    // /proc; false without an error when the file system or /proc lacks them.
    bool OpenAnonymous();

    // A temporary file under a short name, created with the signals blocked.
    bool OpenNamed();

    // Gives the anonymous file a short name beside the target; Commit renames it,
    // with the stopping signals blocked from the link to the rename. A target that
    // was absent gets the complete file under its own name in one step (linkat never
    // replaces), which leaves no name to clean up; one that appeared meanwhile is
    // replaced like any other.
    bool LinkIn();

    // Moves the named temporary file onto the target: a rename, or, where an existing
    // file must be kept, a link (which fails when one is there) whose temporary name
    // Discard then removes.
    bool PutInPlace();

    // Opens the output held in memory as what its target is and writes the bytes held.
    bool Spill();

    // Creates the target held in memory under its own name and writes it, the
    // stopping signals blocked from the creation to the close; a file that
    // cannot be written in full is removed again. A target that exists already
    // is replaced, or written into, as Open would have done.
    bool CreateHeld();

    std::string ProcPath() const { return "/proc/self/fd/" + std::to_string(m_fd); }

    // ".fwkit" and six random letters or digits.
    static std::string TemporaryName();

    // Keeps bytes of an output held in memory, at `offset` or at its end.
    bool Hold(const void* data, size_t size, off_t offset);

    bool WriteAll(const void* data, size_t size, off_t offset);

    // The signals that stop a program, less those the process ignores when
    // `lessIgnored`: Linux keeps even an ignored signal pending while it is
    // blocked, and it must not stop the writer of a named file. All three when
    // the ignored ones cannot be learnt. The short link-and-rename step of an
    // anonymous file blocks all three: an ignored one is dropped when unblocked.
    static sigset_t Stopping(bool lessIgnored);

    void BlockSignals(bool lessIgnored);

    void RestoreSignals();

    // True when a signal that stops the program arrived while it was blocked here.
    bool Interrupted() const;

    void Discard();

    bool Clashes(const struct stat& st);
    bool SyncData(bool replacing);
    void StartWriteback(size_t written);
    bool SyncStream();
    bool SyncDirectory();

    struct Protected {
        dev_t dev;
        ino_t ino;
        std::string role;
    };

    std::string m_path;
    int m_baseFd;
    bool m_below = false;
    int m_dirFd = -1;
    std::string m_leaf;
    bool m_ownsDir = true;               // m_dirFd was opened here and is closed here
    bool m_absent = false;               // no file at the target when it was looked at
    std::vector<Protected> m_protected;  // the writer's inputs, never a target
    std::string m_clash;                 // the role of the one found at the target
    bool m_allowInPlace = false;
    bool m_beside = false;  // refused: no file could be made beside the target
    bool m_deferSync = false;
    static constexpr size_t kWritebackBytes = size_t{8} << 20;
    size_t m_unsent = 0;  // bytes written in order since writeback was last started
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
