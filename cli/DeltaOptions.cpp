// fwkit delta's options: its help, and the command line read into DeltaOptions.
#include <cstdio>
#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CFrameDecoder.h"
#include "Command.h"
#include "Delta.h"
#include "SbomFiles.h"

namespace Cli {

namespace {

const char kUsage[] =
    "Usage: fwkit delta [--base OLD.img] [-k KEY]... [OPTIONS] -o OUT PACKAGE\n"
    "Encode the image of PACKAGE (a package made as usual): compressed against the base\n"
    "image OLD.img a device already has (encoding zstd-delta), or alone (encoding zstd).\n"
    "The package keeps its lines; filesize, md5 and sha256 then describe the payload and\n"
    "target-filesize, target-md5 and target-sha256 the image it rebuilds. Unsigned\n"
    "unless -k is given: a signature of PACKAGE does not cover the new header.\n"
    "\n"
    "  -b, --base=OLD.img     the base image (default: none, plain compression)\n"
    "  -o, --output=OUT       the encoded package to write, - for standard output\n"
    "                         (required)\n"
    "  -k, --key=KEY          sign with KEY, a PEM private key file or a PKCS#11 URI\n"
    "                         (repeatable: one signature each)\n"
    "      --pin-file=FILE    the PIN of the token (else the URI's pin-source)\n"
    "      --module=PATH      the PKCS#11 module (default: p11-kit's proxy)\n"
    "      --pass-file=FILE   the passphrase of an encrypted PEM private key (first line)\n"
    "  -l, --level=N          zstd's compression level (default 9 while base and image\n"
    "                         are at most 128 MiB together, else 3)\n"
    "      --frame-size=MIB   MiB of image per frame, 1 to 32 (default 32); a device\n"
    "                         rebuilds with a buffer of one frame\n"
    "      --window-log=N     the largest window, 2^N bytes (default 30, which every\n"
    "                         host decodes; matches reach that far into the base)\n"
    "      --chunk=SIZE       add a chunk index of the image the package rebuilds: the\n"
    "                         SHA-256 of every SIZE bytes (64K, 256K, 1M or 4M), written\n"
    "                         to OUT.index (default: PACKAGE's own index-chunk, if any)\n"
    "      --index            add a chunk index of the default size (64K)\n"
    "      --index-out=FILE   write the chunk index to FILE (needed with -o -)\n"
    "  -j, --json             say what was written as one JSON document\n";
// With the bill of materials: PACKAGE's own, from beside it, or --sbom's.
const char kSbomNote[] =
    "A bill of materials PACKAGE carries (PACKAGE.sbom) goes beside OUT as OUT.sbom.\n";
const char kStatus[] =
    "\n"
    "Exit status: 0 written, 1 usage or a file that cannot be read or written, 2 not a\n"
    "package or encoded already, 3 its image does not match its header.\n";

enum LongOnly {
    kPinFile = 256,
    kModule,
    kFrameSize,
    kWindowLog,
    kSbom,
    kSbomOut,
    kPassFile,
    kChunk,
    kIndex,
    kIndexOut
};

const std::vector<option> kLong =
    LongOptions({{"base", required_argument, nullptr, 'b'},
                 {"output", required_argument, nullptr, 'o'},
                 {"key", required_argument, nullptr, 'k'},
                 {"pin-file", required_argument, nullptr, kPinFile},
                 {"pass-file", required_argument, nullptr, kPassFile},
                 {"module", required_argument, nullptr, kModule},
                 {"level", required_argument, nullptr, 'l'},
                 {"frame-size", required_argument, nullptr, kFrameSize},
                 {"window-log", required_argument, nullptr, kWindowLog},
                 {"sbom", required_argument, nullptr, kSbom},
                 {"sbom-out", required_argument, nullptr, kSbomOut},
                 {"chunk", required_argument, nullptr, kChunk},
                 {"index", no_argument, nullptr, kIndex},
                 {"index-out", required_argument, nullptr, kIndexOut},
                 {"json", no_argument, nullptr, 'j'}});


// Takes one of the subcommand's own options; false after a message.
bool Take(int c, DeltaOptions& options) {
    uint32_t value = 0;
    switch (c) {
        case 'b':
            options.base = optarg;
            return true;
        case 'o':
            options.output = optarg;
            return true;
        case 'j':
            options.json = true;
            return true;
        case 'k':
            options.keys.emplace_back(optarg);
            return true;
        case kPinFile:
            options.access.pinFile = optarg;
            return true;
        case kPassFile:
            options.access.passFile = optarg;
            return true;
        case kModule:
            options.access.module = optarg;
            return true;
        case kSbom:
            options.sbom = optarg;
            return true;
        case kSbomOut:
            options.sbomOut = optarg;
            return true;
        case 'l':
            if (!Number("--level", optarg, static_cast<uint64_t>(CPackageEncoder::MinLevel()),
                        static_cast<uint64_t>(CPackageEncoder::MaxLevel()), value))
                return false;
            options.settings.level = static_cast<int>(value);
            return true;
        case kFrameSize:
            if (!Number("--frame-size", optarg, 1, CFrameDecoder::kMaxFrameSize >> 20, value))
                return false;
            options.settings.frameSize = size_t{value} << 20;
            return true;
        case kChunk: {
            const std::string problem = CChunkIndex::ParseChunk(optarg, options.settings.chunk);
            return problem.empty() || UsageError("delta", "--chunk: " + problem) == 0;
        }
        case kIndex:
            if (options.settings.chunk == 0)
                options.settings.chunk = CChunkIndex::kDefaultChunk;
            return true;
        case kIndexOut:
            options.indexOut = optarg;
            return true;
        case kWindowLog:
            if (!Number("--window-log", optarg, 20,
                        static_cast<uint64_t>(CPackageEncoder::MaxWindowLog()), value))
                return false;
            options.settings.windowLogMax = static_cast<int>(value);
            return true;
        default:
            return false;
    }
}

}  // namespace

int ParseDelta(int argc, char** argv, Common& common, DeltaOptions& options) {
    int c = 0;
    while ((c = NextOption(argc, argv, ":b:o:k:l:jqh", kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s%s%s", kUsage, SbomFiles::kHelp, CommonHelp(25).c_str(), kSbomNote,
                        kStatus);
            return -1;
        }
        if (c == ':' || c == '?')
            return OptionError("delta", c, argv);
        if (!TakeCommon(c, common) && !Take(c, options))
            return 1;
    }
    if (options.output.empty())
        return UsageError("delta", "--output is required");
    if (options.json && options.output == "-")
        return UsageError("delta", "--json and --output - would both write standard output");
    if (argc - optind != 1)
        return UsageError("delta", argc - optind == 0
                                       ? "no package given"
                                       : "one package only; '" + std::string(argv[optind + 1]) +
                                             "' is one too many");
    if (!options.indexOut.empty() && options.settings.chunk == 0)
        return UsageError("delta", "--index-out goes with --chunk");
    options.package = argv[optind];
    return 0;
}

}  // namespace Cli
