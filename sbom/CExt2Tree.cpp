#include "CExt2Tree.h"

// com_err's header declares its functions without C linkage.
extern "C" {
#include <et/com_err.h>
}
#include <ext2fs/ext2fs.h>

#include <algorithm>
#include <vector>


namespace {

// What libext2fs reads in one call when a file is streamed.
constexpr unsigned kExt2Piece = 256 * 1024;

std::string Cause(const std::string& path, errcode_t error) {
    return path + ": " + error_message(error);
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
    const errcode_t error =
        ext2fs_open2(image.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs);
    if (error != 0)
        return Fail(error_message(error));
    m_fs = fs;
    return true;
}

bool CExt2Tree::OpenFile(const std::string& path, bool follow, void*& file, uint64_t& size) {
    ext2_ino_t inode = 0;
    errcode_t error =
        follow ? ext2fs_namei_follow(m_fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path.c_str(), &inode)
               : ext2fs_namei(m_fs, EXT2_ROOT_INO, EXT2_ROOT_INO, path.c_str(), &inode);
    if (error != 0)
        return Fail(Cause(path, error));
    struct ext2_inode node {};
    error = ext2fs_read_inode(m_fs, inode, &node);
    if (error != 0)
        return Fail(Cause(path, error));
    if (!LINUX_S_ISREG(node.i_mode))
        return Fail(path + ": not a regular file");
    ext2_file_t opened = nullptr;
    error = ext2fs_file_open(m_fs, inode, 0, &opened);
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
        return Fail(path + ": larger than " + std::to_string(max) + " bytes");
    }
    std::vector<char> piece(static_cast<size_t>(std::min<uint64_t>(kExt2Piece, size + 1)));
    unsigned got = 0;
    errcode_t error = 0;
    while ((error = ext2fs_file_read(file, piece.data(), static_cast<unsigned>(piece.size()), &got)) == 0 && got > 0)
        sink(piece.data(), got);
    ext2fs_file_close(file);
    return error == 0 || Fail(Cause(path, error));
}
