// fwkit delta: a package made as usual turned into one whose payload is
// compressed (encoding zstd) or, given the base image a device already has,
// compressed against it (encoding zstd-delta); signed in the same run with -k.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CPackageAttachment.h"
#include "CPackageEncoder.h"
#include "CPackageSigner.h"
#include "Command.h"
#include "KeyFiles.h"
#include "Output.h"
#include "PackageJson.h"
#include "Subcommands.h"

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
const char kStatus[] =
    "\n"
    "Exit status: 0 written, 1 usage or a file that cannot be read or written, 2 not a\n"
    "package or encoded already, 3 its image does not match its header.\n";

enum LongOnly { kPinFile = 256, kModule, kFrameSize, kWindowLog, kChunk, kIndex, kIndexOut };

const std::vector<option> kLong =
    LongOptions({{"base", required_argument, nullptr, 'b'},
                 {"output", required_argument, nullptr, 'o'},
                 {"key", required_argument, nullptr, 'k'},
                 {"pin-file", required_argument, nullptr, kPinFile},
                 {"module", required_argument, nullptr, kModule},
                 {"level", required_argument, nullptr, 'l'},
                 {"frame-size", required_argument, nullptr, kFrameSize},
                 {"window-log", required_argument, nullptr, kWindowLog},
                 {"chunk", required_argument, nullptr, kChunk},
                 {"index", no_argument, nullptr, kIndex},
                 {"index-out", required_argument, nullptr, kIndexOut},
                 {"json", no_argument, nullptr, 'j'}});

struct Options {
    std::string base;
    std::string output;
    std::string indexOut;
    std::vector<std::string> keys;
    KeyFiles::TokenAccess access;
    CPackageEncoder::Settings settings;
    std::string package;
    bool json = false;
};

// Takes one of the subcommand's own options; false after a message.
bool Take(int c, Options& options) {
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
        case kModule:
            options.access.module = optarg;
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

// The header block: the encoded lines, signed by each key given.
bool HeaderBlock(const Options& options, const CPackageEncoder& encoder, std::string& block) {
    const CPackageHeader& header = encoder.Header();
    if (options.keys.empty()) {
        block = header.Compose(encoder.PayloadSha256(), "");
        return true;
    }
    std::vector<std::unique_ptr<CSigningKey>> keys;
    CPackageSigner::Request request;
    for (const std::string& name : options.keys) {
        std::string file;
        std::string cause;
        keys.emplace_back();
        if (!KeyFiles::LoadSigner(name, options.access, false, keys.back(), file, cause))
            return Complain(file, cause) == 0;
        request.keys.push_back({name, keys.back().get()});
    }
    CPackageSigner signer(std::move(request));
    const CPackageSigner::Result& result =
        signer.SignHeader(header, encoder.PayloadSha256(), block);
    if (result.error == PackageError::Ok)
        return true;
    const std::string& file =
        result.culprit == CPackageSigner::Culprit::Key ? options.keys[result.key] : options.package;
    for (const std::string& problem : result.problems)
        Complain(file, problem);
    return false;
}

// The path of the chunk index: --index-out, else beside the output.
std::string IndexPath(const Options& options) {
    return options.indexOut.empty() ? CPackageAttachment::Beside(options.output, CChunkIndex::kKind)
                                    : options.indexOut;
}

// Writes the chunk index, put in place before the package it belongs to.
int WriteIndex(const Options& options, const std::string& index) {
    const std::string path = IndexPath(options);
    Core::File::Output output(OutputPath(path));
    output.Protect(options.package, "the package");
    if (!options.base.empty())
        output.Protect(options.base, "the base");
    if (!output.Open() || !output.Write(index.data(), index.size()) || !output.Commit(true)) {
        output.Commit(false);
        return Complain(path, output.Cause());
    }
    return 0;
}

// Writes the encoded package (and its index); put in place only when complete.
int Write(const Options& options, const CPackageEncoder& encoder, const std::string& block) {
    const std::string target = OutputPath(options.output);
    if (target.empty())
        return 1;
    Core::File::Output output(target);
    output.Protect(options.package, "the package");
    if (!options.base.empty())
        output.Protect(options.base, "the base");
    for (const std::string& key : options.keys)
        output.Protect(key, "the key");
    const std::string& payload = encoder.Payload();
    if (!output.Open() || !output.Expect(block.size() + payload.size()) ||
        !output.Write(block.data(), block.size()) ||
        !output.Write(payload.data(), payload.size())) {
        output.Commit(false);
        return Complain(options.output, output.Cause());
    }
    if (CChunkIndex::Named(encoder.Header()) && WriteIndex(options, encoder.Index()) != 0) {
        output.Commit(false);
        return 1;
    }
    if (!output.Commit(true))
        return Complain(options.output, output.Cause());
    return 0;
}

}  // namespace

int Delta(int argc, char** argv) {
    Common common;
    Options options;
    int c = 0;
    while ((c = NextOption(argc, argv, ":b:o:k:l:jqh", kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s", kUsage, CommonHelp(25).c_str(), kStatus);
            return 0;
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
    CPackageEncoder encoder(options.settings);
    const PackageError error = encoder.Encode(options.package, options.base);
    if (error != PackageError::Ok) {
        Complain(encoder.Culprit() == PackageInput::Base ? options.base : options.package,
                 encoder.Problem());
        return PackageErrorStatus(error);
    }
    if (CChunkIndex::Named(encoder.Header()) && options.output == "-" && options.indexOut.empty())
        return UsageError("delta", "a chunk index with -o -: give it a file (--index-out FILE)");
    std::string block;
    if (!HeaderBlock(options, encoder, block))
        return 1;
    const int status = Write(options, encoder, block);
    if (status == 0 && options.json && !common.quiet)
        std::fputs(DeltaJson(options.output, options.package, options.base,
                             block.size() + encoder.Payload().size(), block)
                       .c_str(),
                   stdout);
    return status;
}

}  // namespace Cli
