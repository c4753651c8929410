// A package file read by position (CPackageSource): opened once as a regular
// file, never waiting on a FIFO or a device, and read with pread in blocks of
// bounded size. The file measured at opening is the package for the object's
// whole life: a read that finds it written to, grown, shrunk or replaced
// since gives Changed. Attachments are the files beside it
// (CPackageAttachment::Beside). Problem() says why a read failed without the
// file's name (the system's reason, or why it is no regular file); the
// attachment's problem names its file.
//
//   CFileSource source("release.pkg");
//   if (!source.Open()) ... source.Problem() ...
//   source.Read(0, source.Size(), [&](const uint8_t* data, size_t size) { ... });
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "CPackageSource.h"

class CFileSource : public CPackageSource {
  public:
    explicit CFileSource(std::string path) : m_path(std::move(path)) {}
    ~CFileSource() override;
    CFileSource(const CFileSource&) = delete;
    CFileSource& operator=(const CFileSource&) = delete;

    // Opens and measures the file; false with Problem() (why it is no
    // readable regular file). Read opens it when this was not called.
    bool Open();

    const std::string& Name() const override { return m_path; }
    uint64_t Size() const override { return m_size; }
    PackageError Read(uint64_t offset, uint64_t size, const Sink& sink) override;
    PackageError ReadAttachment(const std::string& kind, uint64_t maxSize,
                                std::string& data) override;
    const std::string& Problem() const override { return m_problem; }

    // Reads at most `maxSize` bytes of the file at `path` into `data`;
    // OpenFailed or ReadFailed with `problem` (the system's reason) when it cannot.
    static PackageError ReadFile(const std::string& path, uint64_t maxSize, std::string& data,
                                 std::string& problem);

  private:
    PackageError Fail(PackageError error, const std::string& problem);
    // True while the open file is the one measured, as far as fstat tells.
    bool Unchanged() const;

    std::string m_path;
    int m_fd = -1;
    uint64_t m_size = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    int64_t m_modified = 0;  // nanoseconds
    std::string m_problem;
};
