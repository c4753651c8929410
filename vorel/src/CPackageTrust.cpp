#include "CPackageTrust.h"

#include <algorithm>

#include "CPackageSignature.h"

void CPackageTrust::AddKey(const CEd25519Key& key) {
    m_keys.push_back(key);
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
    }
    return "bad";
}

CPackageTrust::Verdict CPackageTrust::Judge(const CPackageHeader& header) const {
    Verdict verdict;
    verdict.signature = CheckSignature(header, verdict);
    switch (verdict.signature) {
        case SignatureState::Bad:
        case SignatureState::UnknownKey:
            verdict.error = PackageError::BadSignature;
            break;
        case SignatureState::Unsigned:
            verdict.error = PackageError::Unsigned;
            break;
        default:
            verdict.error = PackageError::Ok;
    }
    return verdict;
}

CPackageTrust::SignatureState CPackageTrust::CheckSignature(const CPackageHeader& header,
                                                            Verdict& verdict) const {
    const std::string* value = header.Find("signature");
    if (value == nullptr)
        return m_keys.empty() ? SignatureState::Absent : SignatureState::Unsigned;
    CPackageSignature signature;
    if (!signature.Parse(*value))
        return SignatureState::Bad;
    verdict.keyId = signature.KeyId();
    verdict.signedMessage = header.SignedMessage();
    if (m_keys.empty())
        return SignatureState::Unverified;
    const auto key = std::find_if(m_keys.begin(), m_keys.end(), [&](const CEd25519Key& k) {
        return k.KeyId() == signature.KeyId();
    });
    if (key == m_keys.end())
        return SignatureState::UnknownKey;
    return key->Verify(verdict.signedMessage, signature.Signature()) ? SignatureState::Verified
                                                                    : SignatureState::Bad;
}
