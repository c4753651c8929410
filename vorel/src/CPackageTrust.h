// What a device decides from a package's header alone, before it reads a byte
// of the image: whether the header carries signatures it trusts, and whether
// its policy lines (compatible, version, expires) let the device accept it. The checkers
// (CPackageCheck over a buffer) judge the header with one CPackageTrust and
// read the image only when the judgement is Ok, so a package that is unsigned,
// or signed by no key given, never reaches the image sink.
//
//   CPackageTrust trust;
//   trust.AddKey(CEd25519Key::FromPem(publicPem));
//   const CPackageTrust::Verdict verdict = trust.Judge(header);
//   if (verdict.error != PackageError::Ok) ... refuse, nothing read ...
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CEd25519Key.h"
#include "CPackageHeader.h"
#include "PackageError.h"

class CPackageTrust {
  public:
    enum class SignatureState {
        Absent,      // no signature line, and no key was given
        Unsigned,    // no signature line, though keys were given
        Unverified,  // a well-formed signature, and no key was given
        Verified,    // made by one of the keys given, over this header
        Bad,         // malformed, or made by a key given but not over this header
        UnknownKey,  // well-formed, by a key that is not among those given
    };

    struct Verdict {
        PackageError error = PackageError::Ok;  // Ok, BadSignature or Unsigned
        SignatureState signature = SignatureState::Absent;
        std::string keyId;          // of the signature line, when it is well-formed
        std::string signedMessage;  // the bytes the signature covers
    };

    // A key a signature may be made with; with one or more, a signature is required.
    void AddKey(const CEd25519Key& key);
    bool HasKeys() const { return !m_keys.empty(); }
    // How many distinct keys among those given must have signed (default 1).
    void SetThreshold(unsigned threshold) { m_threshold = threshold; }
    // The product or board the device is: a package must name it in "compatible".
    void SetCompatible(const std::string& name) { m_compatible = name; }
    // The lowest packed version (as the "version" line holds it) accepted.
    void SetMinimumVersion(uint32_t packed) {
        m_minimumVersion = packed;
        m_hasMinimumVersion = true;
    }
    // The time "expires" is judged at, in seconds since the epoch (default: now).
    void SetTime(int64_t seconds) {
        m_time = seconds;
        m_hasTime = true;
    }

    // Judges a header that CPackageHeader::Read accepted.
    Verdict Judge(const CPackageHeader& header) const;

    static const char* StateText(SignatureState state);

  private:
    SignatureState CheckSignature(const CPackageHeader& header, Verdict& verdict) const;

    std::vector<CEd25519Key> m_keys;
    unsigned m_threshold = 1;
    std::string m_compatible;  // empty: any
    uint32_t m_minimumVersion = 0;
    bool m_hasMinimumVersion = false;
    int64_t m_time = 0;
    bool m_hasTime = false;
};
