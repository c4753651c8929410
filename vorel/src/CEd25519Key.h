// An Ed25519 key held by libcrypto: the private key (which holds its public
// half) or a public key alone. Keys are read and written as PEM text in the
// forms OpenSSL writes: PKCS#8 for the private key, SubjectPublicKeyInfo for
// the public key. A default-constructed key is empty (Valid() is false).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "CSigningKey.h"

struct evp_pkey_st;

class CEd25519Key : public CSigningKey {
  public:
    // Every Ed25519 signature is this many bytes.
    static constexpr size_t kSignatureSize = 64;

    CEd25519Key();
    ~CEd25519Key() override;
    CEd25519Key(const CEd25519Key& other);
    CEd25519Key& operator=(const CEd25519Key& other);
    CEd25519Key(CEd25519Key&&) noexcept;
    CEd25519Key& operator=(CEd25519Key&&) noexcept;

    // A fresh private key; empty when libcrypto failed.
    static CEd25519Key Generate();
    // The key in PEM text: a private key ("PRIVATE KEY") or a public key ("PUBLIC
    // KEY"). Empty when the text holds neither, a key of another kind, or
    // more than one PEM block (a keyring: KeyringFromPem). An encrypted
    // private key is read only with its `passphrase` (nothing ever prompts).
    static CEd25519Key FromPem(const std::string& pem, const std::string* passphrase = nullptr);
    // Whether the text holds an encrypted private key (PKCS#8).
    static bool IsEncryptedPem(const std::string& pem);
    // The public key of 32 raw bytes; empty when they are not 32.
    static CEd25519Key FromRawPublicKey(const std::string& raw);
    // The public keys of a keyring: PEM public keys one after the other, as a
    // device keeps them. Empty when the text holds no key, or when any block
    // in it is not an Ed25519 public key (`problem` then says which).
    static std::vector<CEd25519Key> KeyringFromPem(const std::string& pem, std::string& problem);
    // How many PEM blocks the text holds (a key file holds one).
    static size_t PemBlocks(const std::string& pem);

    bool Valid() const { return m_key != nullptr; }
    bool IsPrivate() const { return m_private; }

    // The 32 raw bytes of the public key; empty for an empty key.
    std::string RawPublicKey() const;
    // The first 16 lowercase hexadecimal digits of the SHA-256 of RawPublicKey().
    std::string KeyId() const override;

    // PEM text of the private key (PKCS#8) and of the public key; empty when
    // there is no such key.
    std::string PrivatePem() const;
    std::string PublicPem() const override;

    // The 64-byte signature of `message`; empty when the key is not private or
    // libcrypto failed.
    std::string Sign(const std::string& message) const override;
    // True when `signature` is a valid signature of `message` by this key.
    bool Verify(const std::string& message, const std::string& signature) const;

  private:
    struct Free {
        void operator()(evp_pkey_st* key) const;
    };
    CEd25519Key(evp_pkey_st* key, bool isPrivate);

    std::unique_ptr<evp_pkey_st, Free> m_key;
    bool m_private;
};
