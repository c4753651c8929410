#include "CDetachedSignature.h"

#include <utility>

#include "CEd25519Key.h"

CDetachedSignature::CDetachedSignature(CEd25519Key publicKey, std::string signature)
    : m_public(std::move(publicKey)), m_signature(std::move(signature)) {}

std::string CDetachedSignature::Sign(const std::string& message) const {
    return m_public.Verify(message, m_signature) ? m_signature : std::string();
}

std::string CDetachedSignature::Problem() const {
    if (m_signature.size() != CEd25519Key::kSignatureSize)
        return "not a raw Ed25519 signature (64 bytes)";
    return "does not verify over this package's header with key " + m_public.KeyId();
}
