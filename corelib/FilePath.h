// File names and what they refer to: the checks every program makes on a
// path before it reads or writes it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Core {
namespace File {

// True when both paths name the same existing file (same device and inode),
// however each is spelled.
bool SameFile(const std::string& a, const std::string& b);

// Size of an existing file in bytes, or -1 when it cannot be looked at.
long long FileSize(const std::string& path);

std::string DirName(const std::string& path);
// The last component of `path`: what follows its last slash.
std::string BaseName(const std::string& path);

// Why `name`, taken from a file, may not be used as a path below the working
// directory (absolute, a ".." component, a zero byte); null when it may.
const char* UnsafeNameReason(const std::string& name);

// Opens `path` to read it as a regular file, never waiting on a FIFO or a
// device: `fd` (-1 when it cannot be opened) and `st` are set, and the result
// is why it is no readable regular file (the system's reason, or "not a
// regular file"), empty when it is one. The caller closes `fd`.
std::string OpenRegular(const std::string& path, int& fd, struct stat& st);

// Why `path` cannot be read as a regular file (OpenRegular's reason, the
// file closed again); empty when it can.
std::string RegularFileProblem(const std::string& path);

enum class ReadState { Readable, Unreadable, Empty };

// Whether `path` can be opened and read, and holds at least one byte.
ReadState CheckReadable(const std::string& path);

// The process descriptor that `path` names ("/dev/stdout", "/dev/stderr",
// "/dev/fd/N", "/proc/self/fd/N"), or -1 when it names none. Such a path is
// written through the descriptor itself, never reopened by name.
int DescriptorOf(const std::string& path);

// Follows a chain of symbolic links (dangling ones included) to the path that
// a write through `path` would reach. A path naming one of the process's
// descriptors ends the chain: what the descriptor refers to has no usable path.
std::string FollowLinks(std::string path);

// Closes a descriptor (unless -1) when it goes out of scope.
struct ClosedAtEnd {
    explicit ClosedAtEnd(int descriptor) : fd(descriptor) {}
    int fd;
    ClosedAtEnd(const ClosedAtEnd&) = delete;
    ClosedAtEnd& operator=(const ClosedAtEnd&) = delete;
    ~ClosedAtEnd();
};

// read(2) that goes on when a signal interrupts it: the bytes read, 0 at the
// end, -1 with errno on failure.
ssize_t ReadSome(int fd, void* buffer, size_t size);

// Reads `size` bytes at `offset` with pread(2), as many as the file holds:
// fewer only where it ends; -1 with errno on a read error.
ssize_t ReadAt(int fd, void* buffer, size_t size, uint64_t offset);

}  // namespace File
}  // namespace Core
