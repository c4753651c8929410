#include "CPackageSigner.h"

#include <utility>

#include "CChunkIndex.h"
#include "CSha256.h"

namespace {

// Configures a check for signing: the package is signed whatever its policy
// lines say (they may be set anew), and an encoded payload is signed as it is
// stored, with the lines that say what it rebuilds: no base is needed.
void ForSigning(CPackageCheck& check) {
    check.Trust().SkipPolicy();
    check.Stream().SetPayloadOnly(true);
}

}  // namespace

bool CPackageSigner::Fail(PackageError error, Culprit culprit, const std::string& problem) {
    m_result.error = error;
    m_result.culprit = culprit;
    if (!problem.empty())
        m_result.problems.push_back(problem);
    return false;
}

// A package that may not be signed: the check's failure, in words.
bool CPackageSigner::Refuse(const CPackageCheck::Result& check) {
    if (check.error == PackageError::NotAPackage)
        return Fail(check.error, Culprit::Package, "not a package: " + check.problem);
    if (check.error != PackageError::ImageMismatch)
        return Fail(check.error, Culprit::Package, PackageErrorText(check.error));
    for (const CPackageCheck::Item& item : check.checks) {
        if (!item.ok)
            m_result.problems.push_back(item.name + " does not match the image: stored " +
                                        item.stored + ", computed " + item.computed);
    }
    return Fail(check.error, Culprit::Package, "");
}

const CPackageSigner::Result& CPackageSigner::CheckKeys() {
    m_result = Result();
    const std::vector<Key>& keys = m_request.keys;
    for (size_t i = 0; i < keys.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (keys[j].key->KeyId() == keys[i].key->KeyId()) {
                m_result.key = i;
                Fail(PackageError::DuplicateKey, Culprit::Key,
                     "signs with key " + keys[i].key->KeyId() + " as " + keys[j].name + " does");
                return m_result;
            }
        }
    }
    return m_result;
}

// Why the signatures cannot be kept: the header they cover would change.
std::string CPackageSigner::AddConflict() const {
    if (m_plan.original.Find("sha256") == nullptr)
        return "it has no sha256 line yet";
    for (const char* name : {"compatible", "expires"}) {
        const std::string* before = m_plan.original.Find(name);
        const std::string* after = m_plan.header.Find(name);
        if ((before == nullptr) != (after == nullptr) || (before != nullptr && *before != *after))
            return std::string("its ") + name + " line would change";
    }
    for (const CPackageHeader::Line& line : m_request.lines) {
        const std::string* before = m_plan.original.Find(line.first);
        if (before == nullptr || *before != line.second)
            return "its " + line.first + " line would change";
    }
    return "its lines are not in name order";
}

// Why a signature to keep may not be kept: it is by none of the keys given
// for them, or does not verify over the header it covers. Empty when it may.
std::string CPackageSigner::KeptProblem(const CPackageSignature& entry) const {
    for (const CEd25519Key& key : m_request.verifiers) {
        if (key.KeyId() == entry.KeyId())
            return key.Verify(m_plan.original.SignedMessage(), entry.Signature())
                       ? ""
                       : "does not verify; drop it with --replace";
    }
    return "cannot be checked; give its public key with --keyring, or drop it with --replace";
}

// Takes the signatures to keep (those of keys not signing again, each
// verified); false after a failure.
bool CPackageSigner::KeepSignatures() {
    const std::string* line = m_plan.original.Find("signature");
    if (!m_request.keep || line == nullptr)
        return true;
    std::vector<CPackageSignature> entries;
    if (!CPackageSignature::ParseList(*line, entries))
        return Fail(PackageError::KeptVoid, Culprit::Package,
                    "--add: its signature line is malformed");
    const std::string* sha256 = m_plan.original.Find("sha256");
    if (sha256 == nullptr || m_plan.header.Message(*sha256) != m_plan.original.SignedMessage())
        return Fail(PackageError::KeptVoid, Culprit::Package,
                    "--add: " + AddConflict() + ", which voids the signatures it has");
    for (const CPackageSignature& entry : entries) {
        bool resigned = false;
        for (const Key& key : m_request.keys)
            resigned = resigned || key.key->KeyId() == entry.KeyId();
        if (resigned)
            continue;
        const std::string problem = KeptProblem(entry);
        if (problem.empty())
            m_plan.kept.push_back(entry);
        else if (m_request.dropVoid)
            m_result.dropped.push_back(entry.KeyId());
        else
            return Fail(PackageError::KeptVoid, Culprit::Package,
                        "--add: the signature by key " + entry.KeyId() + " " + problem);
    }
    return true;
}

// Reads the header and plans the new one; false after a failure.
bool CPackageSigner::Prepare(CInputFile& package) {
    m_plan = Plan();
    if (package.GetState() == CInputFile::State::Unreadable ||
        package.GetState() == CInputFile::State::NotRegular)
        return Fail(PackageError::ReadFailed, Culprit::Package,
                    CPackageCheck::FileProblem(package.GetName()));
    CPackageCheck::Result read;
    read.error = m_plan.original.Read(package);
    read.problem = m_plan.original.Problem();
    if (read.error != PackageError::Ok)
        return Refuse(read);
    m_plan.header = m_plan.original;
    if (!m_request.compatible.empty())
        m_plan.header.SetLine("compatible", m_request.compatible);
    if (!m_request.expires.empty())
        m_plan.header.SetLine("expires", m_request.expires);
    for (const CPackageHeader::Line& line : m_request.lines)
        if (!m_plan.header.SetLine(line.first, line.second)) {
            read.error = PackageError::NotAPackage;
            read.problem = "cannot set the line " + line.first + ": " + line.second;
            return Refuse(read);
        }
    if (!PlanIndex() || !KeepSignatures())
        return false;
    const size_t count = m_plan.kept.size() + m_request.keys.size();
    if (count > CPackageSignature::kMaxEntries)
        return Fail(PackageError::TooManySignatures, Culprit::Package,
                    "a package carries at most " + std::to_string(CPackageSignature::kMaxEntries) +
                        " signatures");
    m_plan.reserved = m_plan.header.SignedSize(count);
    if (m_plan.reserved > CPackageHeader::kMaxSize) {
        read.error = PackageError::NotAPackage;
        read.problem = "the signed header would be longer than " +
                       std::to_string(CPackageHeader::kMaxSize) + " bytes";
        return Refuse(read);
    }
    if (m_plan.reserved + (package.FileSize() - m_plan.original.Size()) >
        CPackageHeader::kMaxPackageSize)
        return Fail(PackageError::TooLarge, Culprit::Package,
                    "the signed package would be 4 GiB or more");
    return true;
}

bool CPackageSigner::PlanIndex() {
    if (m_request.chunk == 0)
        return true;
    if (m_plan.header.GetEncoding() != CPackageHeader::Encoding::None)
        return Fail(PackageError::AlreadyEncoded, Culprit::Package,
                    "an encoded package's image is indexed when it is made (fwkit delta --chunk)");
    const uint64_t size = CChunkIndex::IndexSize(m_plan.header.FileSize(), m_request.chunk,
                                                 CChunkIndex::kBlock);
    for (const CPackageHeader::Line& line :
         CChunkIndex::Lines(std::string(static_cast<size_t>(size), '\0'), m_request.chunk,
                            CChunkIndex::kBlock))
        m_plan.header.SetLine(line.first, line.second);
    return true;
}

bool CPackageSigner::WriteIndex() {
    Core::File::Output* output = m_request.indexOutput;
    if (m_request.chunk == 0 || output == nullptr)
        return true;
    if (!output->Write(m_plan.index.data(), m_plan.index.size()) || !output->Commit(true))
        return Fail(PackageError::WriteFailed, Culprit::Output, output->Cause());
    return true;
}

// Runs the check over the package, the image going to `output` when given;
// false after a failure. A package whose signatures or policy fail may be
// signed; so may a delta, signed as stored.
bool CPackageSigner::Check(CInputFile& package, CPackageCheck& check, Core::File::Output* output) {
    CChunkIndex::Builder index(m_request.chunk > 0 ? m_request.chunk : CChunkIndex::kMinChunk);
    check.SetImageSink([&](const uint8_t* data, size_t size) {
        if (m_request.chunk > 0)
            index.Update(data, size);
        return output == nullptr || output->Write(data, size);
    });
    m_result.check = check.Run(package);
    check.SetImageSink(nullptr);
    if (m_request.chunk > 0) {
        m_plan.index = index.Finish();
        m_plan.header.SetLine("index-sha256",
                              CSha256::Hex(CSha256::Of(m_plan.index.data(), m_plan.index.size())));
    }
    const PackageError error = m_result.check.error;
    if (package.Changed() || !package.EndsAtSize())
        return Fail(PackageError::Changed, Culprit::Package,
                    PackageErrorText(PackageError::Changed));
    if (error == PackageError::WriteFailed)
        return Fail(error, Culprit::Output, output->Cause());
    switch (error) {
        case PackageError::Ok:
        case PackageError::BadSignature:  // replaced by the new signature
        case PackageError::Unsigned:
        case PackageError::RefusedByPolicy:  // not judged: the signer sets the policy
            break;
        default:
            return Refuse(m_result.check);
    }
    if (m_result.check.headers == m_plan.original.Lines())
        return true;
    return Fail(PackageError::Changed, Culprit::Package, PackageErrorText(PackageError::Changed));
}

// The header block with the signature of each key added to `entries`; false
// after a failure.
bool CPackageSigner::Sign(const CPackageHeader& header, const std::string& sha256,
                          std::vector<CPackageSignature> entries, std::string& block) {
    const std::string message = header.Message(sha256);
    for (size_t i = 0; i < m_request.keys.size(); ++i) {
        const CSigningKey& key = *m_request.keys[i].key;
        const std::string signature = key.Sign(message);
        if (signature.empty()) {
            const std::string problem = key.Problem();
            m_result.key = i;
            return Fail(PackageError::SignFailed, Culprit::Key,
                        problem.empty() ? PackageErrorText(PackageError::SignFailed) : problem);
        }
        entries.emplace_back(key.KeyId(), signature);
        m_result.keyIds.push_back(key.KeyId());
    }
    block = header.Signed(sha256, entries);
    if (!block.empty())
        return true;
    return Fail(PackageError::TooManySignatures, Culprit::Package,
                "a package carries at most " + std::to_string(CPackageSignature::kMaxEntries) +
                    " signatures");
}

// Writes the signed package into the open output: behind a reserved header
// filled in after the one pass, or for a stream, the header and then the image
// in a second pass that must hand on what the first digested.
bool CPackageSigner::WriteSigned(CInputFile& package, Core::File::Output& output) {
    if (!Prepare(package))
        return false;
    const bool seekable = output.Seekable();
    if (seekable && !output.Write(std::string(m_plan.reserved, '\n').data(), m_plan.reserved))
        return Fail(PackageError::WriteFailed, Culprit::Output, output.Cause());
    CPackageCheck check;
    ForSigning(check);
    std::string block;
    if (!Check(package, check, seekable ? &output : nullptr) ||
        !Sign(m_plan.header, m_result.check.sha256, m_plan.kept, block))
        return false;
    if (block.size() != m_plan.reserved)
        return Fail(PackageError::SignFailed, Culprit::Package, "cannot sign this header");
    if (seekable ? !output.WriteAt(block.data(), block.size(), 0)
                 : !output.Write(block.data(), block.size()))
        return Fail(PackageError::WriteFailed, Culprit::Output, output.Cause());
    if (seekable)
        return true;
    CPackageCheck again;
    ForSigning(again);
    const PackageError streamed = again.Restream(package, output, m_result.check);
    if (streamed == PackageError::WriteFailed)
        return Fail(streamed, Culprit::Output, output.Cause());
    if (streamed == PackageError::Changed || package.Changed() || !package.EndsAtSize())
        return Fail(PackageError::Changed, Culprit::Package,
                    PackageErrorText(PackageError::Changed));
    return true;
}

const CPackageSigner::Result& CPackageSigner::Run(CInputFile& package, Core::File::Output& output) {
    if (CheckKeys().error == PackageError::Ok && WriteSigned(package, output) && WriteIndex()) {
        if (!output.Commit(true))
            Fail(PackageError::WriteFailed, Culprit::Output, output.Cause());
        return m_result;
    }
    output.Commit(false);
    if (m_request.indexOutput != nullptr)
        m_request.indexOutput->Commit(false);
    return m_result;
}

const CPackageSigner::Result& CPackageSigner::Message(CInputFile& package, std::string& message) {
    m_result = Result();
    CPackageCheck check;
    ForSigning(check);
    if (Prepare(package) && Check(package, check, nullptr))
        message = m_plan.header.Message(m_result.check.sha256);
    return m_result;
}

const CPackageSigner::Result& CPackageSigner::SignHeader(const CPackageHeader& header,
                                                         const std::string& sha256,
                                                         std::string& block) {
    if (CheckKeys().error == PackageError::Ok)
        Sign(header, sha256, {}, block);
    return m_result;
}
