#include "CPackageTrust.h"

#include <algorithm>
#include <ctime>

#include "Core.h"
#include "Parse.h"

namespace {

// The "version" line as pkgstamp writes it: the packed version as a signed
// 32-bit number in decimal. False when it is not one.
bool ReadVersion(const std::string& text, uint32_t& packed) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t value = 0;
    if (!Core::Parse::Unsigned(text.substr(negative ? 1 : 0), negative ? 0x80000000u : INT32_MAX,
                               value)
             .empty())
        return false;
    packed = static_cast<uint32_t>(negative ? 0u - value : value);
    return true;
}

}  // namespace

void CPackageTrust::AddKey(const CEd25519Key& key) {
    const bool known = std::any_of(m_keys.begin(), m_keys.end(),
                                   [&](const CEd25519Key& k) { return k.KeyId() == key.KeyId(); });
    if (!known)
        m_keys.push_back(key);
}

bool CPackageTrust::NamesSomething(const std::string& value) {
    return value.find_first_not_of(" \t") != std::string::npos;
}

bool CPackageTrust::SetCompatible(const std::string& name) {
    m_compatible = name;
    m_hasCompatible = true;
    return NamesSomething(name);
}

const char* CPackageTrust::StateText(SignatureState state) {
    switch (state) {
        case SignatureState::Absent:
            return "absent";
        case SignatureState::Unsigned:
            return "unsigned";
        case SignatureState::Unverified:
            return "unverified";
        case SignatureState::Verified:
            return "verified";
        case SignatureState::Bad:
            return "bad";
        case SignatureState::UnknownKey:
            return "unknown key";
        case SignatureState::TooFew:
            return "too few";
    }
    return "bad";
}

std::string CPackageTrust::Reason(const Verdict& verdict) {
    if (verdict.error == PackageError::RefusedByPolicy)
        return verdict.policyReason;
    if (verdict.signature == SignatureState::TooFew)
        return "valid signatures by " + std::to_string(verdict.verifiedKeys) +
               " of the keys given, " + std::to_string(verdict.threshold) + " needed";
    return std::string();
}

CPackageTrust::Verdict CPackageTrust::Judge(const CPackageHeader& header) const {
    Verdict verdict;
    verdict.threshold = m_threshold;
    const std::string* version = header.Find("version");
    verdict.hasVersion = version != nullptr && ReadVersion(*version, verdict.version);
    verdict.signature = CheckSignatures(header, verdict);
    switch (verdict.signature) {
        case SignatureState::Bad:
        case SignatureState::UnknownKey:
        case SignatureState::TooFew:
            verdict.error = PackageError::BadSignature;
            return verdict;
        case SignatureState::Unsigned:
            verdict.error = PackageError::Unsigned;
            return verdict;
        default:
            break;
    }
    if (Unchecked(verdict)) {
        verdict.error = PackageError::Unsigned;
        return verdict;
    }
    if (m_skipPolicy)
        return verdict;
    verdict.policyJudged = true;
    verdict.policyReason = JudgePolicy(header, verdict);
    verdict.error = verdict.policyReason.empty() ? PackageError::Ok : PackageError::RefusedByPolicy;
    return verdict;
}

bool CPackageTrust::Unchecked(const Verdict& verdict) const {
    return m_requireSignature && m_keys.empty() &&
           (verdict.signature == SignatureState::Absent ||
            verdict.signature == SignatureState::Unverified);
}

// Every entry is judged; one by a key given that does not verify spoils the
// line (the header or that entry was changed), one by a key not given is
// passed over.
CPackageTrust::SignatureState CPackageTrust::CheckSignatures(const CPackageHeader& header,
                                                             Verdict& verdict) const {
    const std::string* value = header.Find("signature");
    if (value == nullptr)
        return m_keys.empty() ? SignatureState::Absent : SignatureState::Unsigned;
    std::vector<CPackageSignature> entries;
    if (!CPackageSignature::ParseList(*value, entries))
        return SignatureState::Bad;
    verdict.signedMessage = header.SignedMessage();
    std::string badKeyId;
    bool bad = false;
    for (const CPackageSignature& entry : entries) {
        const SignatureState state = CheckEntry(entry, verdict.signedMessage);
        verdict.signers.push_back({entry.KeyId(), state});
        if (state == SignatureState::Bad && !bad)
            badKeyId = entry.KeyId();
        bad = bad || state == SignatureState::Bad;
        if (state == SignatureState::Verified && verdict.verifiedKeys++ == 0)
            verdict.keyId = entry.KeyId();
    }
    // A line that fails names the key whose signature failed: that is the one
    // to look into, not another that verified.
    if (bad && !m_keys.empty())
        verdict.keyId = badKeyId;
    if (verdict.keyId.empty())
        verdict.keyId = entries.front().KeyId();
    if (m_keys.empty())
        return SignatureState::Unverified;
    if (bad)
        return SignatureState::Bad;
    if (verdict.verifiedKeys >= m_threshold)
        return SignatureState::Verified;
    return verdict.verifiedKeys == 0 ? SignatureState::UnknownKey : SignatureState::TooFew;
}

CPackageTrust::SignatureState CPackageTrust::CheckEntry(const CPackageSignature& entry,
                                                        const std::string& message) const {
    if (m_keys.empty())
        return SignatureState::Unverified;
    const auto key = std::find_if(m_keys.begin(), m_keys.end(),
                                  [&](const CEd25519Key& k) { return k.KeyId() == entry.KeyId(); });
    if (key == m_keys.end())
        return SignatureState::UnknownKey;
    return key->Verify(message, entry.Signature()) ? SignatureState::Verified : SignatureState::Bad;
}

std::string CPackageTrust::JudgePolicy(const CPackageHeader& header, Verdict& verdict) const {
    const std::pair<const char*, std::string> judged[] = {{"compatible", JudgeCompatible(header)},
                                                          {"version", JudgeVersion(verdict)},
                                                          {"expires", JudgeExpiry(header)}};
    for (const auto& [line, reason] : judged) {
        if (!reason.empty()) {
            verdict.policyRefused = line;
            return reason;
        }
    }
    return std::string();
}

std::string CPackageTrust::JudgeCompatible(const CPackageHeader& header) const {
    if (!m_hasCompatible)
        return std::string();
    if (!NamesSomething(m_compatible))
        return "this device's compatible is blank: it names no board";
    const std::string* value = header.Find("compatible");
    if (value == nullptr)
        return "no compatible line; this device is " + m_compatible;
    if (*value != m_compatible)
        return "compatible is " + *value + "; this device is " + m_compatible;
    return std::string();
}

std::string CPackageTrust::JudgeVersion(const Verdict& verdict) const {
    if (!m_hasMinimumVersion)
        return std::string();
    const std::string minimum =
        std::to_string(m_minimumVersion) + " (" + Core::Version::Text(m_minimumVersion) + ")";
    if (!verdict.hasVersion)
        return "no version number; the minimum is " + minimum;
    if (verdict.version < m_minimumVersion)
        return "version " + std::to_string(verdict.version) + " (" +
               Core::Version::Text(verdict.version) + ") is below the minimum " + minimum;
    return std::string();
}

std::string CPackageTrust::JudgeExpiry(const CPackageHeader& header) const {
    const std::string* value = header.Find("expires");
    if (value == nullptr)
        return std::string();
    int64_t expires = 0;
    const std::string problem = Core::Parse::UtcTime(*value, expires);
    if (!problem.empty())
        return "expires: " + problem;
    const int64_t now = m_hasTime ? m_time : static_cast<int64_t>(std::time(nullptr));
    if (now >= expires)
        return "expired at " + *value + "; the time is " + Core::Parse::FormatUtcTime(now);
    return std::string();
}
