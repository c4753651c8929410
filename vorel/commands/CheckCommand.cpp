// Checking an upgrade package before it is used: its header, its image against the
// header's filesize, md5 and sha256, its signatures against the public keys given (as
// many as the threshold asks), and the device's policy (compatible, minimum version,
// expiry); optionally the image written out when every check passed. A package that
// is "-" (standard input), a pipe, FIFO, socket or character device is read once, as
// it arrives, and checked the same way. An encoded package's image is rebuilt from
// its payload (a delta's against the base given, mapped read-only) and checked
// against its target lines; -o then writes the image rebuilt.
#include "CheckCommand.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CFileSource.h"
#include "CInputFile.h"
#include "CMappedFile.h"
#include "CPackageAttachment.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CSbomAttachment.h"
#include "CheckInputs.h"
#include "CheckReport.h"
#include "FilePath.h"
#include "KeyFiles.h"
#include "Messages.h"
#include "Output.h"
#include "PackageReport.h"
#include "Text.h"

namespace CheckCommand {

bool OpenOutput(const Options& options, Core::File::Output& output) {
    output.Protect(options.package, "the package");
    for (const std::string& key : options.keys)
        output.Protect(key, "the key");
    for (const std::string& keyring : options.keyrings)
        output.Protect(keyring, "the keyring");
    if (!options.base.empty())
        output.Protect(options.base, "the base");
    return output.Open();
}

// A document that is not what the header names keeps the image from being
// written out: it is read before the image is.
int ReadSbom(const Options& options, const std::vector<CPackageHeader::Line>& headers,
             std::string& document, PackageError& error) {
    const std::string path =
        !options.sbom.empty() ? options.sbom
                              : CPackageAttachment::Beside(options.package, CSbomAttachment::kKind);
    std::string problem;
    error = CSbomAttachment::Load(headers, path, document, problem);
    if (error == PackageError::OpenFailed || error == PackageError::ReadFailed)
        return Fail(options, path,
                    std::string(error == PackageError::OpenFailed ? "cannot be opened"
                                                                  : "cannot be read") +
                        problem.substr(std::min(problem.size(), path.size())));
    return 0;
}

namespace {

// Checks the package file, writing the image to the output when every check
// passed; 0, or the status of a failure after its message.
int CheckAndWrite(CPackageCheck& check, CInputFile& buffer, const Options& options,
                  Core::File::Output& output, CPackageCheck::Result& result) {
    result = check.Run(buffer, output);
    if (result.error == PackageError::Changed)
        return Fail(options, options.package, PackageErrorText(result.error));
    if (result.error == PackageError::WriteFailed)
        return Fail(options, options.output, output.Cause());
    return 0;
}

// Gives the trust the keys and the policy; 0, or the status of a failure.
int Configure(const Options& options, CPackageTrust& trust) {
    std::string cause;
    std::vector<CEd25519Key> keys;
    for (const std::string& path : options.keys) {
        CEd25519Key key;
        if (!KeyFiles::LoadKey(path, false, key, cause))
            return Fail(options, path, cause);
        keys.push_back(key);
    }
    for (const std::string& path : options.keyrings) {
        std::vector<CEd25519Key> ring;
        if (!KeyFiles::LoadKeyring(path, ring, cause))
            return Fail(options, path, cause);
        keys.insert(keys.end(), ring.begin(), ring.end());
    }
    for (const CEd25519Key& key : keys)
        trust.AddKey(key);
    if (options.threshold > trust.KeyCount() && (options.thresholdGiven || trust.HasKeys()))
        return Messages::UsageError(options.command,
                                    "--threshold " + std::to_string(options.threshold) +
                                        " needs as many distinct keys; " +
                                        std::to_string(trust.KeyCount()) + " given");
    trust.SetThreshold(options.threshold);
    if (options.requireSignature)
        trust.RequireSignature();
    if (!options.compatible.empty())
        trust.SetCompatible(options.compatible);
    if (options.hasMinimum)
        trust.SetMinimumVersion(options.minimum);
    if (options.hasTime)
        trust.SetTime(options.time);
    return 0;
}

// Checks the package of `options` with the keys and policy of `trust`, and the
// base `base` (unmapped when none is given).
int CheckOne(const Options& options, const CPackageTrust& trust, const CMappedFile& base) {
    CPackageCheck check;
    check.Trust() = trust;
    if (!options.base.empty())
        check.SetBase(base.Data(), base.Size());
    std::unique_ptr<CPackageSource> source;
    if (options.openSource)
        source = options.openSource(options.package);
    if (source)
        return CheckFromServer(options, check, *source);
    // The chunk index a header names is read from beside the package (standard
    // input and descriptors have nothing beside them).
    const std::string index = CPackageAttachment::Beside(options.package, CChunkIndex::kKind);
    if (options.package != "-" && Core::File::DescriptorOf(options.package) < 0)
        check.Stream().SetAttachments([&index](const std::string&, uint64_t maxSize,
                                               std::string& data, std::string& problem) {
            return CFileSource::ReadFile(index, maxSize + 1, data, problem);
        });
    if (IsStream(options.package))
        return CheckFromStream(options, check, index);
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Fail(options, options.package, cause);
    CInputFile buffer(options.package);
    CPackageHeader header;
    const bool sbomNamed =
        header.Read(buffer) == PackageError::Ok && CSbomAttachment::Named(header.Lines());
    std::string sbom;
    PackageError sbomError = PackageError::Ok;
    if (sbomNamed && ReadSbom(options, header.Lines(), sbom, sbomError) != 0)
        return 1;
    CPackageCheck::Result result;
    if (options.output.empty() || sbomError != PackageError::Ok) {
        result = check.Run(buffer);
        if (buffer.Changed() || !buffer.EndsAtSize())
            return Fail(options, options.package, PackageErrorText(PackageError::Changed));
    } else {
        Core::File::Output output(PackageCommand::OutputPath(options.output));
        if (!OpenOutput(options, output))
            return Fail(options, options.output, output.Cause());
        if (CheckAndWrite(check, buffer, options, output, result) != 0)
            return 1;
    }
    if (result.error == PackageError::ReadFailed || result.error == PackageError::TooLarge)
        return Fail(options, options.package, PackageErrorText(result.error));
    // A missing index is a package whose signed data beside it does not match.
    if (result.error == PackageError::OpenFailed)
        return std::max(Fail(options, index, result.problem),
                        PackageErrorStatus(PackageError::AttachmentMismatch));
    if (sbomNamed)
        CSbomAttachment::Judge(result, &sbom);
    Print(options, result);
    return PackageErrorStatus(result.error);
}

}  // namespace

int Run(const Options& given) {
    Options options = given;
    std::vector<std::string> documents;
    const bool array = options.json && options.several;
    if (array)
        options.documents = &documents;
    CPackageTrust trust;
    // Keys that cannot be read, or a threshold they cannot meet, judge no package.
    int worst = Configure(options, trust);
    CMappedFile base;
    if (worst == 0 && !options.base.empty() && !base.Open(options.base))
        worst = Fail(options, options.base, base.Problem());
    const bool configured = worst == 0;
    for (size_t i = 0; configured && i < options.packages.size(); ++i) {
        options.package = options.packages[i];
        worst = std::max(worst, CheckOne(options, trust, base));
    }
    if (array && !options.quiet)
        std::fputs(Core::Text::JsonArray(documents).c_str(), stdout);
    return worst;
}

}  // namespace CheckCommand
