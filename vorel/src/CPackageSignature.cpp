#include "CPackageSignature.h"

#include <openssl/evp.h>

#include <algorithm>
#include <utility>

#include "CEd25519Key.h"

namespace {

const char kScheme[] = "ed25519:";
constexpr size_t kSchemeSize = sizeof kScheme - 1;
constexpr size_t kKeyIdSize = 16;
constexpr size_t kBase64Size = 88;

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

bool IsKeyId(const std::string& text) {
    return text.size() == kKeyIdSize &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The 64 bytes an 88-character base64 text stands for; empty when the text is
// not their canonical encoding (EVP_DecodeBlock alone accepts blanks and counts
// padding as zero bytes, so the result is encoded again and compared).
std::string SignatureFromBase64(const std::string& text) {
    if (text.size() != kBase64Size)
        return std::string();
    unsigned char bytes[kBase64Size];
    const int length = EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < static_cast<int>(CEd25519Key::kSignatureSize))
        return std::string();
    std::string signature(reinterpret_cast<const char*>(bytes), CEd25519Key::kSignatureSize);
    return Base64(signature) == text ? signature : std::string();
}

}  // namespace

CPackageSignature::CPackageSignature(std::string keyId, std::string signature)
    : m_keyId(std::move(keyId)), m_signature(std::move(signature)) {}

bool CPackageSignature::Parse(const std::string& value) {
    if (value.size() != kValueSize || value.compare(0, kSchemeSize, kScheme) != 0 ||
        value[kSchemeSize + kKeyIdSize] != ':')
        return false;
    const std::string keyId = value.substr(kSchemeSize, kKeyIdSize);
    const std::string signature = SignatureFromBase64(value.substr(kSchemeSize + kKeyIdSize + 1));
    if (!IsKeyId(keyId) || signature.empty())
        return false;
    m_keyId = keyId;
    m_signature = signature;
    return true;
}

std::string CPackageSignature::Value() const {
    if (!IsKeyId(m_keyId) || m_signature.size() != CEd25519Key::kSignatureSize)
        return std::string();
    return kScheme + m_keyId + ":" + Base64(m_signature);
}

bool CPackageSignature::ParseList(const std::string& value,
                                  std::vector<CPackageSignature>& entries) {
    entries.clear();
    if (value.size() > ListValueSize(kMaxEntries))
        return false;
    for (size_t start = 0; start <= value.size();) {
        size_t end = value.find(kSeparator, start);
        if (end == std::string::npos)
            end = value.size();
        CPackageSignature entry;
        const bool ok = entry.Parse(value.substr(start, end - start));
        if (!ok || std::any_of(entries.begin(), entries.end(),
                               [&](const auto& e) { return e.KeyId() == entry.KeyId(); })) {
            entries.clear();
            return false;
        }
        entries.push_back(entry);
        start = end + 1;
    }
    return true;
}

std::string CPackageSignature::ListValue(std::vector<CPackageSignature> entries) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.KeyId() < b.KeyId(); });
    std::string value;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i + 1 < entries.size() && entries[i + 1].KeyId() == entries[i].KeyId())
            continue;  // the later one stands
        const std::string entry = entries[i].Value();
        if (entry.empty())
            return std::string();
        value += (value.empty() ? "" : std::string(1, kSeparator)) + entry;
    }
    return value.size() > ListValueSize(kMaxEntries) ? std::string() : value;
}
