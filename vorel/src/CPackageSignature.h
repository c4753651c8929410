// The value of a package's "signature" header line:
//
//   ed25519:<key id>:<signature>
//
// the key id being 16 lowercase hexadecimal digits (see CEd25519Key::KeyId) and
// the signature the 64 bytes of an Ed25519 signature in standard base64 with
// padding (88 characters).
#pragma once

#include <string>

class CPackageSignature {
  public:
    // The length of every well-formed value.
    static constexpr size_t kValueSize = 8 + 16 + 1 + 88;

    CPackageSignature() = default;
    CPackageSignature(std::string keyId, std::string signature);

    // Reads a header value; false, leaving the object unchanged, when it is not
    // exactly of the form above (an unknown scheme, a key id of other digits, a
    // base64 text that is not the canonical encoding of 64 bytes).
    bool Parse(const std::string& value);
    // The header value; empty unless the key id and signature have their sizes.
    std::string Value() const;

    const std::string& KeyId() const { return m_keyId; }
    // The 64 raw signature bytes.
    const std::string& Signature() const { return m_signature; }

  private:
    std::string m_keyId;
    std::string m_signature;
};
