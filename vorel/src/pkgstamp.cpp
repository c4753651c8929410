// pkgstamp: turns an image file into an upgrade package, a header block of
// filesize, filetype, md5 and version lines and an empty line, followed by the
// image byte for byte.
//
//   pkgstamp version image output
//   pkgstamp major minor build image output
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "CHeaderFile.h"
#include "Core.h"
#include "md5.h"

namespace {

// The image is digested and copied in reads of this size. Reads this large go straight from
// the file into the chunk, and the package output writes each chunk with one system call,
// so no byte is copied through a stream buffer.
const size_t kChunk = 256 * 1024;
unsigned char g_chunk[kChunk];

enum class Outcome { kDone, kReadFailed, kWriteFailed, kImageChanged };

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

// The header block as text.
std::string HeaderText(CHeaderFile& header) {
    char* text = nullptr;
    size_t size = 0;
    FILE* block = open_memstream(&text, &size);
    if (block == nullptr)
        return std::string();
    header.WriteHeaders(block);
    std::fclose(block);
    std::string result(text, size);
    std::free(text);
    return result;
}

// Digests the image to its end, takes its size and goes back to its start.
// False when the image cannot be read to its end or repositioned.
bool DigestImage(FILE* image, char* hex, long& size) {
    MD5_CTX context;
    MD5Init(&context);
    while (!std::feof(image)) {
        const size_t got = std::fread(g_chunk, 1, kChunk, image);
        MD5Update(&context, g_chunk, static_cast<unsigned int>(got));
        if (std::ferror(image))
            return false;
    }
    MD5Final(&context);
    MD5Hex(&context, hex);
    size = std::ftell(image);
    return size >= 0 && std::fseek(image, 0, SEEK_SET) == 0;
}

// Copies the image behind the header; the copy must hold exactly size bytes.
Outcome CopyImage(FILE* image, Core::File::Output& out, long size) {
    long copied = 0;
    while (!std::feof(image) && copied <= size) {
        const size_t got = std::fread(g_chunk, 1, kChunk, image);
        if (std::ferror(image))
            return Outcome::kReadFailed;
        if (!out.Write(g_chunk, got))
            return Outcome::kWriteFailed;
        copied += static_cast<long>(got);
    }
    return copied == size ? Outcome::kDone : Outcome::kImageChanged;
}

// Writes the header block and the image into the open output.
Outcome WritePackage(CHeaderFile& header, FILE* image, Core::File::Output& out) {
    char hex[33];
    long size = 0;
    if (!DigestImage(image, hex, size))
        return Outcome::kReadFailed;
    header.SetHeader("md5", hex);
    header.SetHeader("filesize", std::to_string(size));
    const std::string block = HeaderText(header);
    if (block.empty() || !out.Write(block.data(), block.size()))
        return Outcome::kWriteFailed;
    return CopyImage(image, out, size);
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
        case Outcome::kDone:
            break;
    }
}

int Stamp(const Arguments& args) {
    CHeaderFile header;
    header.SetHeader("filetype", "dalm_upgrade");
    header.SetHeader("version", std::to_string(args.version));

    FILE* image = std::fopen(args.image, "rb");
    if (image == nullptr) {
        std::perror("unable to open input\n");
        return 1;
    }
    // Writing the package over its own image would destroy the image.
    if (Core::File::SameFile(args.image, args.target)) {
        std::fprintf(stderr, "pkgstamp: output %s is the image itself\n", args.output);
        std::fclose(image);
        return 1;
    }
    // A regular package file is replaced only once it is complete, so a failure
    // never leaves a truncated package behind.
    Core::File::Output out(args.target);
    if (!out.Open()) {
        errno = out.Error();
        std::perror("unable to open output file\n");
        std::fclose(image);
        return 1;
    }
    Outcome outcome = WritePackage(header, image, out);
    std::fclose(image);
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
