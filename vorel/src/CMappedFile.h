// A regular file mapped read-only, whole: the base image a delta is made
// against or applied to, and the package the encoder reads. Its pages are
// file-backed, so the kernel reads them as they are touched and may drop them
// again; the mapping costs no anonymous memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CMappedFile {
  public:
    CMappedFile() = default;
    ~CMappedFile();
    CMappedFile(const CMappedFile&) = delete;
    CMappedFile& operator=(const CMappedFile&) = delete;

    // Maps the file at `path`; false with Problem() (the system's reason, or
    // "not a regular file") when it cannot. A file of 0 bytes maps to no bytes.
    bool Open(const std::string& path);
    const uint8_t* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    const std::string& Problem() const { return m_problem; }

  private:
    void Close();

    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    bool m_mapped = false;
    std::string m_problem;
};
