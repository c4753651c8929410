#include "CPackageStamper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "CHeaderFile.h"
#include "CImageDigest.h"
#include "CPackageHeader.h"
#include "FilePath.h"
#include "Output.h"

namespace {

// The image, open once and measured once.
struct Image {
    int fd = -1;
    uint64_t size = 0;
    ~Image() {
        if (fd >= 0)
            close(fd);
    }
};

// Opens the image without waiting on a FIFO or a device; Done when it is a regular
// file, with errno set when it cannot be opened at all (OpenFailed).
PackageError OpenImage(const std::string& path, Image& image) {
    image.fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (image.fd < 0 || fstat(image.fd, &st) != 0)
        return PackageError::OpenFailed;
    if (!S_ISREG(st.st_mode))
        return PackageError::NotRegular;
    const int flags = fcntl(image.fd, F_GETFL);
    if (flags != -1)
        fcntl(image.fd, F_SETFL, flags & ~O_NONBLOCK);
    image.size = static_cast<uint64_t>(st.st_size);
    return PackageError::Ok;
}

// One pass over the image: every block read is digested and, with an output, written.
// The MD5 of a large image runs on a thread of its own while the next blocks are read
// and written. The image must hold exactly its measured size.
PackageError PassImage(const Image& image, Core::File::Output* out, char* hex) {
    CImageDigest digest(false);
    uint64_t done = 0;
    while (done < image.size) {
        uint8_t* block = digest.Block();
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(CImageDigest::kBlockSize, image.size - done));
        const ssize_t got = Core::File::ReadAt(image.fd, block, want, done);
        if (got < 0)
            return PackageError::ReadFailed;
        if (got == 0)
            return PackageError::Changed;
        digest.Feed(static_cast<size_t>(got));
        if (out != nullptr && !out->Write(block, static_cast<size_t>(got)))
            return PackageError::WriteFailed;
        done += static_cast<uint64_t>(got);
    }
    unsigned char probe = 0;
    if (Core::File::ReadAt(image.fd, &probe, 1, done) != 0)
        return PackageError::Changed;  // it grew, or cannot be read
    std::string md5;
    std::string unused;
    digest.Finish(md5, unused);
    std::memcpy(hex, md5.c_str(), md5.size() + 1);
    return PackageError::Ok;
}

// The header block for the image's size and digest.
std::string HeaderBlock(CHeaderFile& header, uint64_t size, const char* hex) {
    header.SetHeader("md5", hex);
    header.SetHeader("filesize", std::to_string(size));
    return header.HeaderText();
}

// TooLarge when the package, header block and image, would not fit the 32-bit
// positions of the format. The block's length is known before the digest, which is
// always 32 digits.
PackageError CheckPackageSize(CHeaderFile header, uint64_t size) {
    const std::string block = HeaderBlock(header, size, "00000000000000000000000000000000");
    return block.size() + size > CPackageHeader::kMaxPackageSize ? PackageError::TooLarge
                                                                 : PackageError::Ok;
}

// Writes the header block and the image into the open output. The digest covers the
// bytes written: a file output gets the header's place reserved (its length is known,
// the digest being 32 digits) and filled in after the one pass; any other output gets
// the image read twice, and both readings must give the same digest.
PackageError WritePackage(CHeaderFile& header, const Image& image, Core::File::Output& out) {
    char hex[33] = "00000000000000000000000000000000";
    const bool twoPass = !out.Seekable();
    if (twoPass) {
        const PackageError first = PassImage(image, nullptr, hex);
        if (first != PackageError::Ok)
            return first;
    }
    const std::string expected = hex;
    std::string block = HeaderBlock(header, image.size, hex);
    if (block.empty() || !out.Write(block.data(), block.size()))
        return PackageError::WriteFailed;
    const PackageError copied = PassImage(image, &out, hex);
    if (copied != PackageError::Ok)
        return copied;
    if (twoPass)
        return expected == hex ? PackageError::Ok : PackageError::Changed;
    block = HeaderBlock(header, image.size, hex);
    return out.WriteAt(block.data(), block.size(), 0) ? PackageError::Ok
                                                      : PackageError::WriteFailed;
}

}  // namespace

CPackageStamper::CPackageStamper(std::string filetype, int32_t version)
    : m_filetype(std::move(filetype)), m_version(version) {}

PackageError CPackageStamper::Stamp(const std::string& image, const std::string& output) {
    m_error = 0;
    m_refusal.clear();
    m_headerText.clear();
    CHeaderFile header;
    header.SetHeader("filetype", m_filetype);
    header.SetHeader("version", std::to_string(m_version));

    Image in;
    m_culprit = PackageInput::Image;
    PackageError opened = OpenImage(image, in);
    if (opened == PackageError::OpenFailed)
        m_error = errno;
    if (opened == PackageError::Ok)
        opened = CheckPackageSize(header, in.size);
    if (opened != PackageError::Ok)
        return opened;
    m_culprit = PackageInput::Output;
    // A regular package file is replaced only once it is complete, so a failure
    // never leaves a truncated package behind; it is never the image itself.
    Core::File::Output out(output);
    out.Protect(image, "the image");
    out.AllowInPlace();
    const bool open = out.Open();
    if (!out.Clash().empty())
        return PackageError::SameFile;
    if (!open) {
        m_error = out.Error();
        m_refusal = out.Cause();
        return PackageError::OpenFailed;
    }
    PackageError outcome = WritePackage(header, in, out);
    if (outcome == PackageError::ReadFailed || outcome == PackageError::Changed)
        m_culprit = PackageInput::Image;
    m_headerText = outcome == PackageError::Ok ? header.HeaderText() : std::string();
    if (!out.Commit(outcome == PackageError::Ok) && outcome == PackageError::Ok)
        outcome = PackageError::WriteFailed;
    m_error = out.Error();
    if (outcome == PackageError::Ok)
        m_culprit = PackageInput::None;
    return outcome;
}
