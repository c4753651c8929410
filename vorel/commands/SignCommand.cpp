// Signing: the package is checked before it is signed (header, filesize, md5) and
// written again with fresh "sha256" and "signature" header lines; its image is read
// once, digested and copied in the same pass. A KEY is a PEM private key file or a
// PKCS#11 URI of a key in a token. Keys are made and shown in KeyCommand.cpp.
#include "SignCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CDetachedSignature.h"
#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageLock.h"
#include "CPackageSigner.h"
#include "FilePath.h"
#include "Messages.h"
#include "CChunkIndex.h"
#include "Output.h"
#include "SbomFiles.h"
#include "Stdout.h"
#include "Text.h"

namespace SignCommand {

namespace {

// One key signing the package, and the name its messages give.
struct Signer {
    std::string name;
    std::unique_ptr<CSigningKey> key;
};

// Opens every key to sign with: the -k keys, then the --attach signatures.
// 0, or the status of the failure after its message.
int LoadSigners(const Options& options, std::vector<Signer>& signers) {
    std::string file;
    std::string cause;
    for (const std::string& keyName : options.keys) {
        Signer signer{keyName, nullptr};
        if (!KeyFiles::LoadSigner(keyName, options.access, false, signer.key, file, cause))
            return Messages::Complain(options.program, file, cause);
        signers.push_back(std::move(signer));
    }
    for (size_t i = 0; i < options.attach.size(); ++i) {
        CEd25519Key key;
        std::string signature;
        if (!KeyFiles::LoadKey(options.publics[i], false, key, cause))
            return Messages::Complain(options.program, options.publics[i], cause);
        if (!KeyFiles::ReadSmallFile(options.attach[i], signature, cause))
            return Messages::Complain(options.program, options.attach[i], cause);
        signers.push_back(
            {options.attach[i], std::make_unique<CDetachedSignature>(key, signature)});
    }
    for (size_t i = 0; i < signers.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (signers[j].key->KeyId() == signers[i].key->KeyId())
                return Messages::Complain(options.program, signers[i].name,
                                          "signs with key " + signers[i].key->KeyId() + " as " +
                                              signers[j].name + " does");
        }
    }
    return 0;
}

// Reads the --keyring files the signatures --add keeps are checked with into
// `verifiers`; 0, or the status of the failure after its message.
int LoadVerifiers(const Options& options, std::vector<CEd25519Key>& verifiers) {
    std::string cause;
    for (const std::string& path : options.keyrings) {
        std::vector<CEd25519Key> ring;
        if (!KeyFiles::LoadKeyring(path, ring, cause))
            return Messages::Complain(options.program, path, cause);
        verifiers.insert(verifiers.end(), ring.begin(), ring.end());
    }
    return 0;
}

// The request of the signer: the keys opened, the lines to set, the keys the
// kept signatures are checked with.
CPackageSigner::Request SigningRequest(const Options& options, const std::vector<Signer>& signers,
                                       std::vector<CEd25519Key> verifiers) {
    CPackageSigner::Request request;
    request.verifiers = std::move(verifiers);
    request.dropVoid = options.replace;
    for (const Signer& signer : signers)
        request.keys.push_back({signer.name, signer.key.get()});
    request.compatible = options.compatible;
    request.expires = options.expires;
    request.keep = options.add;
    request.chunk = options.chunk;
    return request;
}

// The signer's failure, in its messages; the exit status (0 when it signed).
int Report(const Options& options, const std::vector<Signer>& signers,
           const CPackageSigner::Result& result) {
    using Culprit = CPackageSigner::Culprit;
    const std::string& file = result.culprit == Culprit::Key      ? signers[result.key].name
                              : result.culprit == Culprit::Output ? options.output
                                                                  : options.package;
    for (const std::string& problem : result.problems)
        Messages::Complain(options.program, file, problem);
    return PackageErrorStatus(result.error);
}

// The package's file, and the output it is written to; 0, or a status.
int CheckFiles(Options& options) {
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Messages::Complain(options.program, options.package, cause);
    if (options.output.empty())
        options.output = options.package;
    return 0;
}

std::string KeyIds(const std::vector<std::string>& keyIds) {
    std::string ids;
    for (const std::string& id : keyIds)
        ids += (ids.empty() ? "" : ", ") + id;
    return (keyIds.size() == 1 ? "key " : "keys ") + ids;
}

// Where the bill of materials goes beside the signed package: empty when there
// is none, or when it stays where it is (a package signed in place keeps the
// document beside it).
// 0, or the status of a usage error (nowhere to put it).
int SbomTarget(const Options& options, const SbomFiles::Document& sbom, std::string& target) {
    target = SbomFiles::Target(options.output, options.sbomOut);
    if (sbom.present && target.empty())
        return Messages::UsageError(options.command,
                                    "the package's bill of materials needs --sbom-out FILE "
                                    "when the output is standard output");
    if (!sbom.present || (!sbom.given && Core::File::SameFile(options.output, options.package) &&
                          options.sbomOut.empty()))
        target.clear();
    return 0;
}

int Sign(Options options) {
    std::vector<Signer> signers;
    std::vector<CEd25519Key> verifiers;
    if (const int status = LoadSigners(options, signers))
        return status;
    if (const int status = LoadVerifiers(options, verifiers))
        return status;
    SbomFiles::Document sbom;
    if (const int status = SbomFiles::Prepare(options.program, options.sbom, options.package, sbom))
        return status;
    CPackageSigner::Request request = SigningRequest(options, signers, std::move(verifiers));
    request.lines = sbom.lines;
    CPackageSigner signer(std::move(request));
    if (const int status = Report(options, signers, signer.CheckKeys()))
        return status;
    if (const int status = CheckFiles(options))
        return status;
    CPackageLock lock(options.package);
    if (!lock.Take())
        return Messages::Complain(options.program, options.package,
                                  std::string("cannot lock it: ") + std::strerror(errno));
    CInputFile buffer(options.package);
    const std::string shown = options.output;
    Core::File::Output output(PackageCommand::OutputPath(options.output));
    for (const std::string& key : options.keys)
        output.Protect(key, "the key");  // a URI names no file and protects nothing
    for (size_t i = 0; i < options.attach.size(); ++i) {
        output.Protect(options.attach[i], "the signature");
        output.Protect(options.publics[i], "the public key");
    }
    std::string sbomTarget;
    if (const int status = SbomTarget(options, sbom, sbomTarget))
        return status;
    Core::File::Output sbomOutput(Core::SeparateFromMessages(sbomTarget));
    sbomOutput.Protect(options.package, "the package");
    if (!sbomTarget.empty() && SbomFiles::Write(options.program, sbomTarget, sbom, sbomOutput))
        return 1;
    if (!output.Open())
        return Messages::Complain(options.program, shown, output.Cause());
    // The chunk index goes beside the signed package, or where --index-out says.
    const std::string indexPath =
        options.indexOut.empty() ? CPackageAttachment::Beside(options.output, CChunkIndex::kKind)
                                 : options.indexOut;
    Core::File::Output index(PackageCommand::OutputPath(indexPath));
    index.Protect(options.package, "the package");
    if (options.chunk > 0) {
        if (!index.Open())
            return Messages::Complain(options.program, indexPath, index.Cause());
        signer.SetIndexOutput(&index);
    }
    const CPackageSigner::Result& result = signer.Run(buffer, output);
    if (const int status = Report(options, signers, result))
        return status;
    if (!sbomTarget.empty() && !sbomOutput.Commit(true))
        return Messages::Complain(options.program, sbomTarget, sbomOutput.Cause());
    if (sbom.given)
        Say(options, SbomFiles::Said(sbomTarget.empty() ? options.sbom : sbomTarget, sbom));
    if (!result.dropped.empty())
        Say(options, Core::Text::Escaped(shown) + ": dropped the signatures that do not verify, " +
                         KeyIds(result.dropped) + "\n");
    Say(options, Core::Text::Escaped(shown) + ": signed with " + KeyIds(result.keyIds) + "\n");
    if (options.outcome != nullptr)
        *options.outcome = {shown, 0, result.keyIds, "", "", ""};
    return 0;
}

// Writes the message a signature of the package would cover, after one pass
// over the image for its SHA-256.
int WriteMessage(const Options& options) {
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Messages::Complain(options.program, options.package, cause);
    std::vector<CEd25519Key> verifiers;
    if (const int status = LoadVerifiers(options, verifiers))
        return status;
    CInputFile buffer(options.package);
    SbomFiles::Document sbom;
    if (const int status = SbomFiles::Prepare(options.program, options.sbom, options.package, sbom))
        return status;
    CPackageSigner::Request request = SigningRequest(options, {}, std::move(verifiers));
    request.lines = sbom.lines;
    CPackageSigner signer(std::move(request));
    std::string message;
    if (const int status = Report(options, {}, signer.Message(buffer, message)))
        return status;
    Core::File::Output output(Core::SeparateFromMessages(options.messageOut));
    output.Protect(options.package, "the package");
    if (!output.Open() || !output.Write(message.data(), message.size()) || !output.Commit(true))
        return Messages::Complain(options.program, options.messageOut, output.Cause());
    Say(options, Core::Text::Escaped(options.messageOut) + ": " + std::to_string(message.size()) +
                     " bytes to sign\n");
    if (options.outcome != nullptr)
        *options.outcome = {options.messageOut, message.size(), {}, "", "", ""};
    return 0;
}

}  // namespace

void Say(const Options& options, const std::string& line) {
    if (!options.quiet)
        std::fputs(line.c_str(), stdout);
}

int Run(const Options& options) {
    if (!options.generate.empty())
        return MakeKeys(options);
    if (options.attach.empty() && !options.publics.empty())
        return PrintPublic(options);
    if (!options.messageOut.empty())
        return WriteMessage(options);
    return Sign(options);
}

}  // namespace SignCommand
