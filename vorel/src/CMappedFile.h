// A file's bytes held whole in memory: the base image a delta is made against
// or applied to, and the package the encoder reads. The file is read once,
// into anonymous memory of its size, rather than mapped: a mapped file that
// shrinks while it is used kills the process with SIGBUS, which a library
// cannot let happen to the program that links it. A file that changed while
// it was read is refused, so the bytes held are the file as it was at one
// moment. A block device (a slot of the running system) is read as a file of
// the device's size.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

class CMappedFile {
  public:
    CMappedFile() = default;
    ~CMappedFile();
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // Reads the regular file or block device at `path`; false with Problem()
    // (the system's reason, "not a regular file or block device", or "changed
    // while it was read") when it cannot. A file of 0 bytes gives no bytes.
    bool Open(const std::string& path);
    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    const std::string& Problem() const { return m_problem; }

  private:
    void Close();
    std::string Read(int fd);
    std::string ReadAll(int fd, const struct stat& before);

    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    bool m_mapped = false;
    std::string m_problem;
};
