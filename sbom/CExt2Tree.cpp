#include "CExt2Tree.h"

// com_err's header declares its functions without C linkage.
extern "C" {
#include <et/com_err.h>
}
#include <ext2fs/ext2fs.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

#include "FilePath.h"

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

bool CExt2Tree::Looks(const std::string& image) {
    const int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t magic[2] = {0, 0};
    // The superblock starts 1024 bytes in; its magic 0xEF53, little-endian, 56 bytes into it.
    const ssize_t got = Core::File::ReadAt(fd, magic, sizeof magic, 1024 + 56);
    close(fd);
    return got == 2 && magic[0] == 0x53 && magic[1] == 0xEF;
}

bool CExt2Tree::Open(const std::string& image) {
    ext2_filsys fs = nullptr;
    const errcode_t error =
        ext2fs_open2(image.c_str(), nullptr, EXT2_FLAG_64BITS, 0, 0, unix_io_manager, &fs);
    if (error != 0)
        return Fail(Cause(image, error));
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

bool CExt2Tree::Size(const std::string& path, uint64_t& size) {
    void* file = nullptr;
    if (!OpenFile(path, true, file, size))
        return false;
    ext2fs_file_close(static_cast<ext2_file_t>(file));
    return true;
}

bool CExt2Tree::Stream(const std::string& path, const Sink& sink, bool follow) {
    void* opened = nullptr;
    uint64_t size = 0;
    if (!OpenFile(path, follow, opened, size))
        return false;
    ext2_file_t file = static_cast<ext2_file_t>(opened);
    std::vector<char> piece(kExt2Piece);
    unsigned got = 0;
    errcode_t error = 0;
    while ((error = ext2fs_file_read(file, piece.data(), kExt2Piece, &got)) == 0 && got > 0)
        sink(piece.data(), got);
    ext2fs_file_close(file);
    return error == 0 || Fail(Cause(path, error));
}
