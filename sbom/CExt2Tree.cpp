#include "CExt2Tree.h"

// com_err's header declares its functions without C linkage.
extern "C" {
#include <et/com_err.h>
}
#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <string_view>
#include <vector>


namespace {

// What libext2fs reads in one call when a file is streamed.
constexpr unsigned kExt2Piece = 256 * 1024;
// The directory entries held for lookups (some 100 bytes each); past this,
// a lookup reads its directories again as libext2fs's own does.
constexpr size_t kMaxHeldNames = 128 * 1024;

std::string Cause(const std::string& path, errcode_t error) {
    return path + ": " + error_message(error);
}

// The name of a directory entry, which is not NUL-terminated.
std::string_view Name(const ext2_dir_entry* entry) {
    return {entry->name, static_cast<size_t>(ext2fs_dirent_name_len(entry))};
}

}  // namespace

CExt2Tree::~CExt2Tree() {
    if (m_fs != nullptr)
        ext2fs_close_free(&m_fs);
}

void CExt2Tree::LoadMessages() {
    initialize_ext2_error_table();
}

bool CExt2Tree::Open(const std::string& image) {
    ext2_filsys fs = nullptr;
    // Read-only and without the bitmaps, which nothing here needs.
    const errcode_t error =
        ext2fs_open2(image.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs);
    if (error != 0)
        return Fail(error_message(error));
    m_fs = fs;
    return true;
}

const CExt2Tree::Directory* CExt2Tree::Entries(uint32_t inode, errcode_t& error) {
    error = 0;
    const auto held = m_directories.find(inode);
    if (held != m_directories.end())
        return &held->second;
    if (m_names >= kMaxHeldNames)
        return nullptr;
    // Most directories are looked in once (each /usr/share/doc/NAME, for its
    // copyright file) and are only scanned then; a few are looked in for
    // every package (/usr/share/doc itself) and are worth holding.
    if (m_looked.insert(inode).second) {
        ++m_names;
        return nullptr;
    }
    Directory entries;
    const auto take = [](ext2_ino_t, int, ext2_dir_entry* entry, int, int, char*, void* data) {
        static_cast<Directory*>(data)->emplace(Name(entry),
                                               Entry{entry->inode, ext2fs_dirent_file_type(entry)});
        return 0;
    };
    error = ext2fs_dir_iterate2(m_fs, inode, 0, nullptr, take, &entries);
    if (error != 0)
        return nullptr;
    m_names += entries.size();
    return &m_directories.emplace(inode, std::move(entries)).first->second;
}

errcode_t CExt2Tree::Scan(uint32_t directory, const std::string& name, Entry& entry) {
    struct Sought {
        std::string_view name;
        Entry& entry;
        bool found;
    } sought{name, entry, false};
    const auto match = [](ext2_ino_t, int, ext2_dir_entry* dirent, int, int, char*, void* data) {
        Sought& sought = *static_cast<Sought*>(data);
        if (Name(dirent) != sought.name)
            return 0;
        sought.entry = Entry{dirent->inode, ext2fs_dirent_file_type(dirent)};
        sought.found = true;
        return DIRENT_ABORT;
    };
    const errcode_t error = ext2fs_dir_iterate2(m_fs, directory, 0, nullptr, match, &sought);
    return error != 0 ? error : sought.found ? 0 : EXT2_ET_FILE_NOT_FOUND;
}

errcode_t CExt2Tree::Find(uint32_t directory, const std::string& name, Entry& entry) {
    errcode_t error = 0;
    const Directory* entries = Entries(directory, error);
    if (error != 0)
        return error;
    if (entries == nullptr)
        return Scan(directory, name, entry);
    const auto found = entries->find(name);
    if (found == entries->end())
        return EXT2_ET_FILE_NOT_FOUND;
    entry = found->second;
    return 0;
}

errcode_t CExt2Tree::Resolve(const std::string& path, bool follow, uint32_t& inode) {
    ext2_ino_t at = EXT2_ROOT_INO;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const size_t from = start;
        const std::string name = path.substr(from, end - from);
        start = end + 1;
        if (name.empty())
            continue;
        const bool last = path.find_first_not_of('/', end) == std::string::npos;
        Entry found{};
        errcode_t error = Find(at, name, found);
        if (error != 0)
            return error;
        // The rest of a path through a directory without file types is left
        // to libext2fs; so is a link, resolved against the directory it is in,
        // the path going on from its target.
        if (found.type == EXT2_FT_UNKNOWN) {
            const std::string rest = path.substr(from);
            return follow ? ext2fs_namei_follow(m_fs, EXT2_ROOT_INO, at, rest.c_str(), &inode)
                          : ext2fs_namei(m_fs, EXT2_ROOT_INO, at, rest.c_str(), &inode);
        }
        if (found.type != EXT2_FT_SYMLINK || (!follow && last))
            at = found.inode;
        else if ((error = ext2fs_follow_link(m_fs, EXT2_ROOT_INO, at, found.inode, &at)) != 0)
            return error;
    }
    inode = at;
    return 0;
}

bool CExt2Tree::OpenFile(const std::string& path, bool follow, void*& file, uint64_t& size) {
    ext2_ino_t inode = 0;
    errcode_t error = Resolve(path, follow, inode);
    if (error != 0)
        return Fail(Cause(path, error));
    struct ext2_inode node {};
    error = ext2fs_read_inode(m_fs, inode, &node);
    if (error != 0)
        return Fail(Cause(path, error));
    if (!LINUX_S_ISREG(node.i_mode))
        return Fail(path + ": not a regular file");
    ext2_file_t opened = nullptr;
    error = ext2fs_file_open2(m_fs, inode, &node, 0, &opened);
    if (error != 0)
        return Fail(Cause(path, error));
    size = EXT2_I_SIZE(&node);
    file = opened;
    return true;
}

bool CExt2Tree::Stream(const std::string& path, const Sink& sink, bool follow, uint64_t max) {
    void* opened = nullptr;
    uint64_t size = 0;
    if (!OpenFile(path, follow, opened, size))
        return false;
    ext2_file_t file = static_cast<ext2_file_t>(opened);
    if (size > max) {
        ext2fs_file_close(file);
        return TooLarge(path, max);
    }
    m_piece.resize(std::max(m_piece.size(), static_cast<size_t>(std::min<uint64_t>(kExt2Piece, size + 1))));
    unsigned got = 0;
    errcode_t error = 0;
    while ((error = ext2fs_file_read(file, m_piece.data(), static_cast<unsigned>(m_piece.size()), &got)) == 0 && got > 0)
        sink(m_piece.data(), got);
    ext2fs_file_close(file);
    return error == 0 || Fail(Cause(path, error));
}

bool CExt2Tree::ReadUpTo(const std::string& path, size_t count, bool whole, std::string& data) {
    data.clear();
    void* opened = nullptr;
    uint64_t size = 0;
    if (!OpenFile(path, true, opened, size))
        return false;
    ext2_file_t file = static_cast<ext2_file_t>(opened);
    if (whole && size > count) {
        ext2fs_file_close(file);
        return TooLarge(path, count);
    }
    data.resize(static_cast<size_t>(std::min<uint64_t>(count, size)));
    size_t have = 0;
    unsigned got = 0;
    errcode_t error = 0;
    while (have < data.size() &&
           (error = ext2fs_file_read(file, &data[have], static_cast<unsigned>(data.size() - have),
                                     &got)) == 0 &&
           got > 0)
        have += got;
    ext2fs_file_close(file);
    data.resize(have);
    return error == 0 || Fail(Cause(path, error));
}

bool CExt2Tree::ReadStart(const std::string& path, size_t count, std::string& data) {
    return ReadUpTo(path, count, false, data);
}

bool CExt2Tree::Read(const std::string& path, size_t max, std::string& data) {
    return ReadUpTo(path, max, true, data);
}
