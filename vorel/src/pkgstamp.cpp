// pkgstamp: turns an image file into an upgrade package, a header block of
// filesize, filetype, md5 and version lines and an empty line, followed by the
// image byte for byte.
//
//   pkgstamp version image output
//   pkgstamp major minor build image output
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "CPackageStamper.h"
#include "Core.h"
#include "Stdout.h"

namespace {

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

void ReportFailure(PackageError error, PackageInput culprit, const Arguments& args, int code) {
    const bool image = culprit == PackageInput::Image;
    switch (error) {
        case PackageError::ReadFailed:
            std::fprintf(stderr, "pkgstamp: cannot read image %s\n", args.image);
            break;
        case PackageError::WriteFailed:
            std::fprintf(stderr, "pkgstamp: cannot write package %s%s%s\n", args.output,
                         code != 0 ? ": " : "", code != 0 ? std::strerror(code) : "");
            break;
        case PackageError::Changed:
            std::fprintf(stderr, "pkgstamp: image %s changed while it was copied\n", args.image);
            break;
        case PackageError::NotRegular:
            std::fprintf(stderr, "pkgstamp: image %s is not a regular file\n", args.image);
            break;
        case PackageError::TooLarge:
            std::fprintf(stderr, "pkgstamp: image %s would make a package of 4 GiB or more\n",
                         args.image);
            break;
        case PackageError::SameFile:
            std::fprintf(stderr, "pkgstamp: output %s is the image itself\n", args.output);
            break;
        case PackageError::OpenFailed:
            errno = code;
            std::perror(image ? "unable to open input\n" : "unable to open output file\n");
            break;
        default:
            break;
    }
}

int Stamp(const Arguments& args) {
    CPackageStamper stamper("dalm_upgrade", args.version);
    const PackageError error = stamper.Stamp(args.image, args.target);
    ReportFailure(error, stamper.Culprit(), args, stamper.Error());
    return error == PackageError::Ok ? 0 : 1;
}

int Run(int argc, char** argv) {
    Arguments args;
    const bool parsed = ParseArguments(argc, argv, args);
    const std::string target = Core::SeparateFromMessages(parsed ? args.output : "");
    args.target = target.c_str();
    std::printf("pkgstamp: argc: %d\n", argc);
    if (!parsed) {
        // A forgotten operand must not look like success to the script that ran it.
        DisplayUsage();
        return 1;
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
