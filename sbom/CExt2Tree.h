// An ext2, ext3 or ext4 file system image read through libext2fs, read-only:
// nothing is mounted and nothing is written.
//
//   CExt2Tree tree;
//   if (!tree.Open("rootfs.ext4")) ... tree.Problem() ...
//   tree.Read("/var/lib/dpkg/status", 64 << 20, status);
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "CImageTree.h"

struct struct_ext2_filsys;

class CExt2Tree : public CImageTree {
  public:
    CExt2Tree() = default;
    ~CExt2Tree() override;
    CExt2Tree(const CExt2Tree&) = delete;
    CExt2Tree& operator=(const CExt2Tree&) = delete;

    // Opens the image; false with Problem() when it is no file system libext2fs reads.
    bool Open(const std::string& image);
    // Registers libext2fs's error texts with com_err, process-wide, so that
    // Problem() says "Bad magic number in super-block" rather than a code: for
    // a program to call once, as the library changes no process-wide state.
    static void LoadMessages();

    bool Stream(const std::string& path, const Sink& sink, bool follow = true,
                uint64_t max = UINT64_MAX) override;
    bool ReadStart(const std::string& path, size_t count, std::string& data) override;
    // Reads the file into `data` sized once from its inode, not grown piece by piece.
    bool Read(const std::string& path, size_t max, std::string& data) override;

  private:
    struct Entry {
        uint32_t inode;
        int type;  // EXT2_FT_*
    };
    using Directory = std::unordered_map<std::string, Entry>;

    // Opens the regular file at `path` for reading; its size in `size`.
    bool OpenFile(const std::string& path, bool follow, void*& file, uint64_t& size);
    // Reads the first `count` bytes of the file at `path` (all of a shorter
    // one) into `data`; with `whole`, a file longer than `count` is refused.
    bool ReadUpTo(const std::string& path, size_t count, bool whole, std::string& data);
    // The inode at `path`, found through the directories read so far: a
    // directory looked in more than once is read once, not once per name.
    long Resolve(const std::string& path, bool follow, uint32_t& inode);
    // The entry `name` of directory `directory`, from its held entries or read
    // from the directory; EXT2_ET_FILE_NOT_FOUND when it has none.
    long Find(uint32_t directory, const std::string& name, Entry& entry);
    // Reads directory `directory` up to its entry `name`, holding nothing.
    long Scan(uint32_t directory, const std::string& name, Entry& entry);
    // The entries of directory `inode`, read and held from its second look on;
    // nullptr (and `error` set, or 0 on a first look or when too many names
    // are held already) when not held.
    const Directory* Entries(uint32_t inode, long& error);

    struct_ext2_filsys* m_fs = nullptr;
    std::unordered_map<uint32_t, Directory> m_directories;
    std::unordered_set<uint32_t> m_looked;  // the directories looked in so far
    size_t m_names = 0;  // the entries held in m_directories, and one per m_looked
    std::vector<char> m_piece;  // what Stream hands on, kept between files
};
