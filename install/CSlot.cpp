#include "CSlot.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CSha256.h"
#include "FilePath.h"

namespace {

constexpr size_t kChunk = 1u << 20;

}  // namespace

bool CSlot::Fail(const std::string& problem) {
    m_problem = problem;
    return false;
}

bool CSlot::Resolve() {
    const std::string& device = m_described.device;
    if (device.compare(0, 10, "PARTLABEL=") != 0 && device.compare(0, 9, "PARTUUID=") != 0) {
        m_path = device;
        return true;
    }
    char* found = blkid_evaluate_spec(device.c_str(), nullptr);
    if (found == nullptr)
        return Fail("no partition has " + device);
    m_path = found;
    std::free(found);
    return true;
}

bool CSlot::Identity(dev_t& device, ino_t& inode, bool& block) const {
    struct stat st {};
    if (m_path.empty() || stat(m_path.c_str(), &st) != 0)
        return false;
    block = S_ISBLK(st.st_mode);
    device = block ? st.st_rdev : st.st_dev;
    inode = block ? 0 : st.st_ino;
    return true;
}

bool CSlot::SameAs(const CSlot& other) const {
    dev_t device = 0, otherDevice = 0;
    ino_t inode = 0, otherInode = 0;
    bool block = false, otherBlock = false;
    if (!Identity(device, inode, block) || !other.Identity(otherDevice, otherInode, otherBlock))
        return m_path == other.m_path;
    return block == otherBlock && device == otherDevice && inode == otherInode;
}

bool CSlot::HoldsRoot() const {
    struct stat root {};
    dev_t device = 0;
    ino_t inode = 0;
    bool block = false;
    return stat("/", &root) == 0 && Identity(device, inode, block) && block &&
           device == root.st_dev;
}

int64_t CSlot::Capacity() {
    Core::File::ClosedAtEnd file{open(m_path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (file.fd < 0 || fstat(file.fd, &st) != 0)
        return Fail(m_path + ": " + std::strerror(errno)), -1;
    if (!S_ISBLK(st.st_mode))
        return st.st_size;
    uint64_t bytes = 0;
    if (ioctl(file.fd, BLKGETSIZE64, &bytes) != 0)
        return Fail(m_path + ": " + std::strerror(errno)), -1;
    return static_cast<int64_t>(bytes);
}

bool CSlot::Digest(uint64_t size, std::string& sha256, uint64_t offset) {
    Core::File::ClosedAtEnd file{open(m_path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return Fail(m_path + ": " + std::strerror(errno));
    // Read what is on the medium, not what the page cache kept of the write.
    posix_fadvise(file.fd, 0, 0, POSIX_FADV_DONTNEED);
    CSha256 digest;
    std::vector<uint8_t> chunk(kChunk);
    for (uint64_t done = 0; done < size;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
        const ssize_t got =
            pread(file.fd, chunk.data(), want, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return Fail(m_path + ": " + std::strerror(errno));
        if (got == 0)
            return Fail(m_path + ": holds fewer bytes than the image");
        digest.Update(chunk.data(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    sha256 = digest.HexDigest();
    return true;
}

CSlot::Mapping::~Mapping() {
    if (data != nullptr)
        munmap(const_cast<uint8_t*>(data), size);
}

std::unique_ptr<CSlot::Mapping> CSlot::Map(uint64_t size) {
    auto mapping = std::make_unique<Mapping>();
    if (size == 0)
        return mapping;
    if (size > SIZE_MAX)
        return Fail(m_path + ": too large to map"), nullptr;
    Core::File::ClosedAtEnd file{open(m_path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return Fail(m_path + ": " + std::strerror(errno)), nullptr;
    void* data = mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_SHARED, file.fd, 0);
    if (data == MAP_FAILED)
        return Fail(m_path + ": " + std::strerror(errno)), nullptr;
    mapping->data = static_cast<const uint8_t*>(data);
    mapping->size = static_cast<size_t>(size);
    return mapping;
}
