// A signature made elsewhere (a signing service, an offline machine, openssl)
// over the message pkgsign wrote out, standing in for the key that made it:
// Sign gives it back for exactly the message it verifies over with the public
// key given, and nothing for any other, so that it is attached only to the
// header it was made for.
#pragma once

#include <string>

#include "CEd25519Key.h"
#include "CSigningKey.h"

class CDetachedSignature : public CSigningKey {
  public:
    // `signature`: the 64 raw bytes, as `openssl pkeyutl -sign -rawin` writes them.
    CDetachedSignature(CEd25519Key publicKey, std::string signature);

    std::string KeyId() const override { return m_public.KeyId(); }
    std::string PublicPem() const override { return m_public.PublicPem(); }
    std::string Sign(const std::string& message) const override;
    std::string Problem() const override;

  private:
    CEd25519Key m_public;
    std::string m_signature;
};
