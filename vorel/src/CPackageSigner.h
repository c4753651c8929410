// Signs an upgrade package: the package is checked before it is signed (header,
// filesize, md5; its signatures and policy are not judged, the signer sets them
// anew) and written again with fresh "sha256" and "signature" header lines, the
// policy lines asked for, and the signatures kept that still cover the new
// header and verify with the public keys given for them. Its image is read once, digested and
// copied in the same pass.
//
// The new header's length is known before the image is read, so a seekable
// output gets the image behind a reserved header that is filled in once the
// image's SHA-256 is known; a stream output gets the header after a first pass
// and the image in a second one, which must digest the same. Each key signs
// the same message once; two keys of one key id are refused before anything is
// read. Nothing is printed: a failure comes back as a PackageError, the
// problems in words and the input to blame.
//
//   CPackageSigner signer({{{"release.pem", &key}}});
//   Core::File::Output output("signed.pkg");
//   CInputFile package("app.pkg");
//   if (output.Open() && signer.Run(package, output).error == PackageError::Ok) ...
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "CEd25519Key.h"
#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CPackageSignature.h"
#include "CSigningKey.h"
#include "Output.h"
#include "PackageError.h"

class CPackageSigner {
  public:
    // A key to sign with, and the name the problems give it (its file or URI).
    struct Key {
        std::string name;
        const CSigningKey* key;
    };
    // What to sign with and what to set. Later kinds of signed data beside the
    // header take their place here.
    struct Request {
        std::vector<Key> keys;
        std::string compatible;  // a "compatible" line to set, when not empty
        std::string expires;     // an "expires" line to set, when not empty
        bool keep = false;       // keep the signatures of keys that do not sign again
        // With keep: the public keys the kept signatures are checked with. A kept
        // signature by none of them, or one that does not verify over the header it
        // covers, is refused (KeptVoid), or dropped when dropVoid is set.
        std::vector<CEd25519Key> verifiers;
        bool dropVoid = false;
        // Further lines to set, such as those naming an attachment
        // (CPackageAttachment::Describe).
        std::vector<CPackageHeader::Line> lines;
        // The chunk size of a chunk index of the image (CChunkIndex); 0: none.
        // The index is computed in the one pass over the image, named by the
        // header, and written into indexOutput, put in place before the package.
        uint64_t chunk = 0;
        Core::File::Output* indexOutput = nullptr;
    };
    // The input a failure is about: the package, a key, or the output.
    using Culprit = PackageInput;
    struct Result {
        PackageError error = PackageError::Ok;
        // Why, one line each (each mismatch of an image that does not match).
        std::vector<std::string> problems;
        Culprit culprit = Culprit::None;
        size_t key = 0;  // with Culprit::Key, the index of the key in the request
        // The check of the package, once it ran.
        CPackageCheck::Result check;
        // The key ids the package was signed with, in the order of the request.
        std::vector<std::string> keyIds;
        // The key ids of the signatures dropVoid dropped.
        std::vector<std::string> dropped;
    };

    explicit CPackageSigner(Request request) : m_request(std::move(request)) {}

    // Where the chunk index of a request with a chunk size goes.
    void SetIndexOutput(Core::File::Output* output) { m_request.indexOutput = output; }
    // Ok when the request can be met whatever the package: no key given twice.
    const Result& CheckKeys();
    // Signs `package` into the open `output`, which is put in place when the
    // package is signed and discarded otherwise.
    const Result& Run(CInputFile& package, Core::File::Output& output);
    // The bytes a signature of `package` would cover, with the lines the
    // request sets, after one pass over the image for its SHA-256.
    const Result& Message(CInputFile& package, std::string& message);
    // The header block of `header` for an image or payload whose SHA-256 is
    // `sha256`, signed by each key (a package whose payload is made here).
    const Result& SignHeader(const CPackageHeader& header, const std::string& sha256,
                             std::string& block);

  private:
    // The header to be written, known before the image is read.
    struct Plan {
        CPackageHeader original;
        CPackageHeader header;
        std::vector<CPackageSignature> kept;
        size_t reserved = 0;
        std::string index;  // the chunk index, once the image was read
    };

    // Records the failure; false.
    bool Fail(PackageError error, Culprit culprit, const std::string& problem);
    bool Refuse(const CPackageCheck::Result& check);
    std::string AddConflict() const;
    std::string KeptProblem(const CPackageSignature& entry) const;
    bool KeepSignatures();
    bool Prepare(CInputFile& package);
    // Plans the index lines with a stand-in digest of the index's known length.
    bool PlanIndex();
    bool WriteIndex();
    bool Check(CInputFile& package, CPackageCheck& check, Core::File::Output* output);
    bool Sign(const CPackageHeader& header, const std::string& sha256,
              std::vector<CPackageSignature> entries, std::string& block);
    bool WriteSigned(CInputFile& package, Core::File::Output& output);

    Request m_request;
    Plan m_plan;
    Result m_result;
};
