// A key that signs package headers with Ed25519, wherever its private half is
// kept: read from a PEM file into memory (CEd25519Key), held in a PKCS#11 token
// that signs without ever giving it out (CPkcs11Key), or elsewhere altogether,
// the signature having been made beforehand (CDetachedSignature). The signer
// (CPackageSigner, CPackageHeader::Sign) treats them all alike.
#pragma once

#include <string>

class CSigningKey {
  public:
    virtual ~CSigningKey() = default;

    // The key id of the public half: 16 lowercase hexadecimal digits.
    virtual std::string KeyId() const = 0;
    // The public half in PEM (SubjectPublicKeyInfo); empty when there is none.
    virtual std::string PublicPem() const = 0;
    // The 64-byte Ed25519 signature of `message`; empty when the key cannot sign.
    virtual std::string Sign(const std::string& message) const = 0;
    // Why the last Sign gave nothing, when the key knows more than that it failed.
    virtual std::string Problem() const { return std::string(); }

  protected:
    CSigningKey() = default;
    CSigningKey(const CSigningKey&) = default;
    CSigningKey& operator=(const CSigningKey&) = default;
};
