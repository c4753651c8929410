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
#include "Delta.h"
#include "KeyFiles.h"
#include "Output.h"
#include "PackageJson.h"
#include "SbomFiles.h"
#include "Subcommands.h"

namespace Cli {

namespace {

// The header block: the encoded lines, signed by each key given.
bool HeaderBlock(const DeltaOptions& options, const CPackageEncoder& encoder,
                 const CPackageHeader& header, std::string& block) {
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
std::string IndexPath(const DeltaOptions& options) {
    return options.indexOut.empty() ? CPackageAttachment::Beside(options.output, CChunkIndex::kKind)
                                    : options.indexOut;
}

// Writes the chunk index, put in place before the package it belongs to.
int WriteIndex(const DeltaOptions& options, const std::string& index) {
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

// Writes the encoded package and its index; put in place only when complete,
// the index before the package, the bill of materials after it.
int Write(const DeltaOptions& options, const CPackageEncoder& encoder, const std::string& block,
          const SbomFiles::Document& sbom) {
    const std::string sbomTarget = SbomFiles::Target(options.output, options.sbomOut);
    Core::File::Output sbomOutput(sbomTarget);
    sbomOutput.Protect(options.package, "the package");
    if (sbom.present && SbomFiles::Write(kProgram, sbomTarget, sbom, sbomOutput) != 0)
        return 1;
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
    if (sbom.present && !sbomOutput.Commit(true))
        return Complain(sbomTarget, sbomOutput.Cause());
    return 0;
}

}  // namespace

int Delta(int argc, char** argv) {
    Common common;
    DeltaOptions options;
    const int read = ParseDelta(argc, argv, common, options);
    if (read != 0)
        return read < 0 ? 0 : read;
    CPackageEncoder encoder(options.settings);
    const PackageError error = encoder.Encode(options.package, options.base);
    if (error != PackageError::Ok) {
        Complain(encoder.Culprit() == PackageInput::Base ? options.base : options.package,
                 encoder.Problem());
        return PackageErrorStatus(error);
    }
    SbomFiles::Document sbom;
    if (SbomFiles::Prepare(kProgram, options.sbom, options.package, sbom) != 0)
        return 1;
    if (sbom.present && SbomFiles::Target(options.output, options.sbomOut).empty())
        return UsageError("delta", "a bill of materials with --output - needs --sbom-out FILE");
    CPackageHeader header = encoder.Header();
    for (const CPackageHeader::Line& line : sbom.lines)
        header.SetLine(line.first, line.second);
    if (CChunkIndex::Named(encoder.Header()) && options.output == "-" && options.indexOut.empty())
        return UsageError("delta", "a chunk index with -o -: give it a file (--index-out FILE)");
    std::string block;
    if (!HeaderBlock(options, encoder, header, block))
        return 1;
    const int status = Write(options, encoder, block, sbom);
    if (status == 0 && options.json && !common.quiet)
        std::fputs(DeltaJson(options.output, options.package, options.base,
                             block.size() + encoder.Payload().size(), block)
                       .c_str(),
                   stdout);
    return status;
}

}  // namespace Cli
