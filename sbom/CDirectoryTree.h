// A system image unpacked into a directory, read as if the directory were the
// root: absolute symbolic links and ".." resolve inside it (openat2 with
// RESOLVE_IN_ROOT), never onto the machine that reads it.
#pragma once

#include <cstdint>
#include <string>

#include "CImageTree.h"

class CDirectoryTree : public CImageTree {
  public:
    CDirectoryTree() = default;
    ~CDirectoryTree() override;
    CDirectoryTree(const CDirectoryTree&) = delete;
    CDirectoryTree& operator=(const CDirectoryTree&) = delete;

    // Opens the directory; false with Problem() when it is none.
    bool Open(const std::string& directory);

    bool Stream(const std::string& path, const Sink& sink, bool follow = true,
                uint64_t max = UINT64_MAX) override;
    bool ReadStart(const std::string& path, size_t count, std::string& data) override;

  private:
    // The regular file at `path`, open for reading; -1 after Fail.
    int OpenFile(const std::string& path, bool follow, uint64_t& size);

    int m_root = -1;
};
