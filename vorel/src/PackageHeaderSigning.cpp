// CPackageHeader::Signed and Sign, apart from the header reader: they build signature
// lines, whose base64 needs libcrypto, while fwkit list reads headers without loading it.
#include <string>
#include <vector>

#include "CPackageHeader.h"
#include "CPackageSignature.h"

std::string CPackageHeader::Signed(const std::string& sha256,
                                   const std::vector<CPackageSignature>& signatures) const {
    const std::string value = CPackageSignature::ListValue(signatures);
    return value.empty() ? std::string() : Compose(sha256, value);
}

std::string CPackageHeader::Sign(const CSigningKey& key, const std::string& sha256) const {
    const std::string message = Message(sha256);
    const std::string signature = key.Sign(message);
    if (message.empty() || signature.empty())
        return std::string();
    return Signed(sha256, {CPackageSignature(key.KeyId(), signature)});
}
