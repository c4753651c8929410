// pkgstamp: turns an image file into an upgrade package, a header block of
// filesize, filetype, md5 and version lines and an empty line, followed by the
// image byte for byte.
//
//   pkgstamp version image output
//   pkgstamp major minor build image output
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CHeaderFile.h"
#include "CImageDigest.h"
#include "CPackageHeader.h"
#include "Core.h"
#include "Output.h"
#include "Stdout.h"

namespace {

enum class Outcome {
    kDone,
    kReadFailed,
    kWriteFailed,
    kImageChanged,
    kNotRegular,
    kTooLarge,
};

struct Arguments {
    int32_t version = 0;
    const char* image = nullptr;
    const char* output = nullptr;
    // The path the package is written to: `output`, or a kept copy of the
    // standard output when `output` names it.
    const char* target = nullptr;
};

void DisplayUsage() {
    std::printf("usage:\n");
    std::printf("       ./pkgstamp [version] [image] [output]\n");
}

// Takes the version, image and output from either form; false for any other count.
bool ParseArguments(int argc, char** argv, Arguments& args) {
    if (argc == 6) {
        args.version =
            Core::Version::ToNumber(Core::Number::ToInt32(argv[1]), Core::Number::ToInt32(argv[2]),
                                    Core::Number::ToInt32(argv[3]));
        args.image = argv[4];
        args.output = argv[5];
        return true;
    }
    if (argc == 4) {
        args.version = Core::Number::ToInt32(argv[1]);
        args.image = argv[2];
        args.output = argv[3];
        return true;
    }
    return false;
}

// The image, open once and measured once.
struct Image {
    int fd = -1;
    uint64_t size = 0;
    ~Image() {
        if (fd >= 0)
            close(fd);
    }
};

// Opens the image without waiting on a FIFO or a device; kDone when it is a regular
// file, with errno set when it cannot be opened at all (kReadFailed).
Outcome OpenImage(const char* path, Image& image) {
    image.fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (image.fd < 0 || fstat(image.fd, &st) != 0)
        return Outcome::kReadFailed;
    if (!S_ISREG(st.st_mode))
        return Outcome::kNotRegular;
    const int flags = fcntl(image.fd, F_GETFL);
    if (flags != -1)
        fcntl(image.fd, F_SETFL, flags & ~O_NONBLOCK);
    image.size = static_cast<uint64_t>(st.st_size);
    return Outcome::kDone;
}

// Reads up to `count` bytes at `offset`; -1 on a read error.
ssize_t ReadAt(int fd, unsigned char* buffer, size_t count, uint64_t offset) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got =
            pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

// One pass over the image: every block read is digested and, with an output, written.
// The MD5 of a large image runs on a thread of its own while the next blocks are read
// and written. The image must hold exactly its measured size.
Outcome PassImage(const Image& image, Core::File::Output* out, char* hex) {
    CImageDigest digest(false);
    uint64_t done = 0;
    while (done < image.size) {
        uint8_t* block = digest.Block();
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(CImageDigest::kBlockSize, image.size - done));
        const ssize_t got = ReadAt(image.fd, block, want, done);
        if (got < 0)
            return Outcome::kReadFailed;
        if (got == 0)
            return Outcome::kImageChanged;
        digest.Feed(static_cast<size_t>(got));
        if (out != nullptr && !out->Write(block, static_cast<size_t>(got)))
            return Outcome::kWriteFailed;
        done += static_cast<uint64_t>(got);
    }
    unsigned char probe = 0;
    if (ReadAt(image.fd, &probe, 1, done) != 0)
        return Outcome::kImageChanged;  // it grew, or cannot be read
    std::string md5;
    std::string unused;
    digest.Finish(md5, unused);
    std::memcpy(hex, md5.c_str(), md5.size() + 1);
    return Outcome::kDone;
}

// The header block for the image's size and digest.
std::string HeaderBlock(CHeaderFile& header, uint64_t size, const char* hex) {
    header.SetHeader("md5", hex);
    header.SetHeader("filesize", std::to_string(size));
    return header.HeaderText();
}

// kTooLarge when the package, header block and image, would not fit the 32-bit
// positions of the format. The block's length is known before the digest, which is
// always 32 digits.
Outcome CheckPackageSize(CHeaderFile header, uint64_t size) {
    const std::string block = HeaderBlock(header, size, "00000000000000000000000000000000");
    return block.size() + size > CPackageHeader::kMaxPackageSize ? Outcome::kTooLarge
                                                                  : Outcome::kDone;
}

// Writes the header block and the image into the open output. The digest covers the
// bytes written: a file output gets the header's place reserved (its length is known,
// the digest being 32 digits) and filled in after the one pass; any other output gets
// the image read twice, and both readings must give the same digest.
Outcome WritePackage(CHeaderFile& header, const Image& image, Core::File::Output& out) {
    char hex[33] = "00000000000000000000000000000000";
    const bool twoPass = !out.Seekable();
    if (twoPass) {
        const Outcome first = PassImage(image, nullptr, hex);
        if (first != Outcome::kDone)
            return first;
    }
    const std::string expected = hex;
    std::string block = HeaderBlock(header, image.size, hex);
    if (block.empty() || !out.Write(block.data(), block.size()))
        return Outcome::kWriteFailed;
    const Outcome copied = PassImage(image, &out, hex);
    if (copied != Outcome::kDone)
        return copied;
    if (twoPass)
        return expected == hex ? Outcome::kDone : Outcome::kImageChanged;
    block = HeaderBlock(header, image.size, hex);
    return out.WriteAt(block.data(), block.size(), 0) ? Outcome::kDone : Outcome::kWriteFailed;
}

void ReportFailure(Outcome outcome, const Arguments& args, int error) {
    switch (outcome) {
        case Outcome::kReadFailed:
            std::fprintf(stderr, "pkgstamp: cannot read image %s\n", args.image);
            break;
        case Outcome::kWriteFailed:
            std::fprintf(stderr, "pkgstamp: cannot write package %s%s%s\n", args.output,
                         error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
            break;
        case Outcome::kImageChanged:
            std::fprintf(stderr, "pkgstamp: image %s changed while it was copied\n", args.image);
            break;
        case Outcome::kNotRegular:
            std::fprintf(stderr, "pkgstamp: image %s is not a regular file\n", args.image);
            break;
        case Outcome::kTooLarge:
            std::fprintf(stderr, "pkgstamp: image %s would make a package of 4 GiB or more\n",
                         args.image);
            break;
        case Outcome::kDone:
            break;
    }
}

int Stamp(const Arguments& args) {
    CHeaderFile header;
    header.SetHeader("filetype", "dalm_upgrade");
    header.SetHeader("version", std::to_string(args.version));

    Image image;
    Outcome opened = OpenImage(args.image, image);
    if (opened == Outcome::kReadFailed) {
        std::perror("unable to open input\n");
        return 1;
    }
    if (opened == Outcome::kDone)
        opened = CheckPackageSize(header, image.size);
    if (opened != Outcome::kDone) {
        ReportFailure(opened, args, 0);
        return 1;
    }
    // A regular package file is replaced only once it is complete, so a failure
    // never leaves a truncated package behind; it is never the image itself.
    Core::File::Output out(args.target);
    out.Protect(args.image, "the image");
    out.AllowInPlace();
    const bool open = out.Open();
    if (!out.Clash().empty()) {
        std::fprintf(stderr, "pkgstamp: output %s is the image itself\n", args.output);
        return 1;
    }
    if (!open) {
        errno = out.Error();
        std::perror("unable to open output file\n");
        return 1;
    }
    Outcome outcome = WritePackage(header, image, out);
    if (!out.Commit(outcome == Outcome::kDone) && outcome == Outcome::kDone)
        outcome = Outcome::kWriteFailed;
    ReportFailure(outcome, args, out.Error());
    return outcome == Outcome::kDone ? 0 : 1;
}

int Run(int argc, char** argv) {
    Arguments args;
    const bool parsed = ParseArguments(argc, argv, args);
    const std::string target = Core::SeparateFromMessages(parsed ? args.output : "");
    args.target = target.c_str();
    std::printf("pkgstamp: argc: %d\n", argc);
    if (!parsed) {
        DisplayUsage();
        return 0;
    }
    if (args.version == 0) {
        std::printf("you need a real version number\n");
        return 1;
    }
    return Stamp(args);
}

}  // namespace

int main(int argc, char** argv) {
    return Core::CloseStdout("pkgstamp", Run(argc, argv));
}
