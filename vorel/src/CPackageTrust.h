// What a device decides from a package's header alone, before it reads a byte
// of the image: whether the header carries a signature it trusts. The checkers
// (CPackageCheck over a buffer) judge the header with one CPackageTrust and
// read the image only when the judgement is Ok, so a package that is unsigned,
// or signed by no key given, never reaches the image sink.
//
//   CPackageTrust trust;
//   trust.AddKey(CEd25519Key::FromPem(publicPem));
//   const CPackageTrust::Verdict verdict = trust.Judge(header);
//   if (verdict.error != PackageError::Ok) ... refuse, nothing read ...
#pragma once

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

    // Judges a header that CPackageHeader::Read accepted.
    Verdict Judge(const CPackageHeader& header) const;

    static const char* StateText(SignatureState state);

  private:
    SignatureState CheckSignature(const CPackageHeader& header, Verdict& verdict) const;

    std::vector<CEd25519Key> m_keys;
};
