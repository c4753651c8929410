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

using Outcome = CPackageStamper::Outcome;

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

void ReportFailure(Outcome outcome, const Arguments& args, int error) {
    switch (outcome) {
        case Outcome::ReadFailed:
            std::fprintf(stderr, "pkgstamp: cannot read image %s\n", args.image);
            break;
        case Outcome::WriteFailed:
            std::fprintf(stderr, "pkgstamp: cannot write package %s%s%s\n", args.output,
                         error != 0 ? ": " : "", error != 0 ? std::strerror(error) : "");
            break;
        case Outcome::ImageChanged:
            std::fprintf(stderr, "pkgstamp: image %s changed while it was copied\n", args.image);
            break;
        case Outcome::NotRegular:
            std::fprintf(stderr, "pkgstamp: image %s is not a regular file\n", args.image);
            break;
        case Outcome::TooLarge:
            std::fprintf(stderr, "pkgstamp: image %s would make a package of 4 GiB or more\n",
                         args.image);
            break;
        case Outcome::SameFile:
            std::fprintf(stderr, "pkgstamp: output %s is the image itself\n", args.output);
            break;
        case Outcome::OpenFailed:
            errno = error;
            std::perror("unable to open input\n");
            break;
        case Outcome::OutputFailed:
            errno = error;
            std::perror("unable to open output file\n");
            break;
        case Outcome::Done:
            break;
    }
}

int Stamp(const Arguments& args) {
    CPackageStamper stamper("dalm_upgrade", args.version);
    const Outcome outcome = stamper.Stamp(args.image, args.target);
    ReportFailure(outcome, args, stamper.Error());
    return outcome == Outcome::Done ? 0 : 1;
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
