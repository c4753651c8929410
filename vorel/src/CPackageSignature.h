// The value of a package's "signature" header line: one or more entries
//
//   ed25519:<key id>:<signature>
//
// the key id being 16 lowercase hexadecimal digits (see CEd25519Key::KeyId) and
// the signature the 64 bytes of an Ed25519 signature in standard base64 with
// padding (88 characters). Several entries, all over the same message, stand
// one after the other separated by a comma, sorted by key id, each key once:
// a value without blanks, which every reader of the header takes whole.
#pragma once

#include <string>
#include <vector>

class CPackageSignature {
  public:
    // The length of every well-formed entry.
    static constexpr size_t kValueSize = 8 + 16 + 1 + 88;
    // The most entries a line holds: "signature: " and 8 entries with their
    // commas make 922 bytes, 9 would pass the longest line CHeaderFile reads
    // whole (CHeaderFile::kLongestLine, 1022 bytes).
    static constexpr size_t kMaxEntries = 8;
    static constexpr char kSeparator = ',';

    CPackageSignature() = default;
    CPackageSignature(std::string keyId, std::string signature);

    // Reads a header value; false, leaving the object unchanged, when it is not
    // exactly of the form above (an unknown scheme, a key id of other digits, a
    // base64 text that is not the canonical encoding of 64 bytes).
    bool Parse(const std::string& value);
    // The header value; empty unless the key id and signature have their sizes.
    std::string Value() const;

    // Reads a whole line's value; false, leaving `entries` empty, when an entry
    // is malformed, a key id appears twice or there are more than kMaxEntries.
    static bool ParseList(const std::string& value, std::vector<CPackageSignature>& entries);
    // The line's value for these entries, in key id order (a later entry of a
    // key id replaces an earlier one); empty when one is not well-formed, or
    // there are none or more than kMaxEntries.
    static std::string ListValue(std::vector<CPackageSignature> entries);
    // The length of a value of `count` entries.
    static constexpr size_t ListValueSize(size_t count) {
        return count == 0 ? 0 : count * (kValueSize + 1) - 1;
    }

    const std::string& KeyId() const { return m_keyId; }
    // The 64 raw signature bytes.
    const std::string& Signature() const { return m_signature; }

  private:
    std::string m_keyId;
    std::string m_signature;
};
