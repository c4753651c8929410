// An Ed25519 key pair held in a PKCS#11 token (a hardware security module, a
// smart card, SoftHSM): the private key never leaves the token, which signs a
// message in one C_Sign call (tokens do Ed25519 in one step only). The public
// key is read from the token (CKA_EC_POINT) for the key id and to check each
// signature the token makes.
//
// The module is loaded with dlopen and reached through C_GetFunctionList;
// without a module named, it is p11-kit's proxy, which reaches every module
// registered with p11-kit. The object holds the module, a session and the
// login until it is destroyed.
//
//   CPkcs11Uri uri;
//   uri.Parse("pkcs11:token=release;object=signing", problem);
//   std::unique_ptr<CPkcs11Key> key = CPkcs11Key::Open(uri, "", pin, problem);
//   if (key) signature = key->Sign(message);
#pragma once

#include <memory>
#include <string>

#include "CEd25519Key.h"
#include "CPkcs11Uri.h"
#include "CSigningKey.h"

class CPkcs11Key : public CSigningKey {
  public:
    // The module loaded when neither the caller nor the URI names one.
    static const char* DefaultModule();

    // The key pair the URI names, in the one token it selects, logged in with
    // `pin` when the token asks for one. `module` (a path) overrides the URI's
    // module-path and the default. Null with `problem` set on failure.
    static std::unique_ptr<CPkcs11Key> Open(const CPkcs11Uri& uri, const std::string& module,
                                            const std::string& pin, std::string& problem);
    // The public key of the pair the URI names, read in a session that does
    // not log in (public objects need no PIN). Empty with `problem` set.
    static CEd25519Key ReadPublic(const CPkcs11Uri& uri, const std::string& module,
                                  std::string& problem);
    // Makes a new key pair in the token, labelled with the URI's object (which
    // no object of the token may carry yet): the private key sensitive and
    // never extractable, both kept in the token. Null with `problem` set.
    static std::unique_ptr<CPkcs11Key> Generate(const CPkcs11Uri& uri, const std::string& module,
                                                const std::string& pin, std::string& problem);

    ~CPkcs11Key() override;
    CPkcs11Key(const CPkcs11Key&) = delete;
    CPkcs11Key& operator=(const CPkcs11Key&) = delete;

    std::string KeyId() const override { return m_public.KeyId(); }
    std::string PublicPem() const override { return m_public.PublicPem(); }
    // The token's signature, checked against the public key; empty when the
    // token refused or signed wrongly (Problem() says why).
    std::string Sign(const std::string& message) const override;
    std::string Problem() const override { return m_problem; }

    const CEd25519Key& PublicKey() const { return m_public; }

  private:
    struct Token;
    explicit CPkcs11Key(std::unique_ptr<Token> token);
    static std::unique_ptr<CPkcs11Key> Opened(std::unique_ptr<Token> token, unsigned long publicKey,
                                              unsigned long privateKey, bool hasId,
                                              std::string& problem);

    std::unique_ptr<Token> m_token;
    unsigned long m_privateKey = 0;
    CEd25519Key m_public;
    mutable std::string m_problem;
};
