// The files of a system image read by path, without mounting it: an ext2/3/4
// file system image (CExt2Tree) or a directory holding the tree
// (CDirectoryTree). Paths are absolute within the image; symbolic links are
// followed inside it, never out of it. Reading is bounded: a file is read
// whole only up to a limit, and streamed in pieces otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class CImageTree {
  public:
    // Gets each piece of a file in turn.
    using Sink = std::function<void(const char* data, size_t size)>;

    virtual ~CImageTree() = default;

    // Reads the regular file at `path` whole into `data`, at most `max` bytes.
    // False with Problem() when it is missing, no regular file, longer, or
    // cannot be read.
    // Virtual so that a tree that knows the file's size reads it in place.
    virtual bool Read(const std::string& path, size_t max, std::string& data);
    // Hands the regular file at `path` to `sink` in pieces (with `follow` false,
    // a symbolic link at `path` itself is no regular file); false (and nothing
    // or a part handed on) when it is missing, no regular file, longer than
    // `max` bytes (nothing handed on) or cannot be read.
    virtual bool Stream(const std::string& path, const Sink& sink, bool follow = true,
                        uint64_t max = UINT64_MAX) = 0;
    // Reads the first `count` bytes of the regular file at `path` into `data`
    // (all of a shorter one); false as Read is.
    virtual bool ReadStart(const std::string& path, size_t count, std::string& data) = 0;
    const std::string& Problem() const { return m_problem; }

  protected:
    bool Fail(const std::string& problem) {
        m_problem = problem;
        return false;
    }
    bool TooLarge(const std::string& path, uint64_t max) {
        return Fail(path + ": larger than " + std::to_string(max) + " bytes");
    }
    std::string m_problem;
};
