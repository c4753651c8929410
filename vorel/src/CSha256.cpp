#include "CSha256.h"

#include <openssl/evp.h>

namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

CSha256::CSha256() : m_context(EVP_MD_CTX_new()), m_ok(false) {
    m_ok = m_context && EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) == 1;
}

CSha256::~CSha256() = default;
CSha256::CSha256(CSha256&&) noexcept = default;
CSha256& CSha256::operator=(CSha256&&) noexcept = default;

void CSha256::Free::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

void CSha256::Update(const void* data, size_t size) {
    if (m_ok && size > 0)
        m_ok = EVP_DigestUpdate(m_context.get(), data, size) == 1;
}

std::string CSha256::Digest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!m_ok || EVP_DigestFinal_ex(m_context.get(), digest, &length) != 1) {
        m_ok = false;
        return std::string();
    }
    m_ok = false;
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string CSha256::HexDigest() {
    return Hex(Digest());
}

std::string CSha256::Of(const void* data, size_t size) {
    CSha256 sha;
    sha.Update(data, size);
    return sha.Digest();
}

std::string CSha256::Hex(const std::string& bytes) {
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}
