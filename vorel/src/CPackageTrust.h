// What a device decides from a package's header alone, before it reads a byte
// of the image: whether the header carries signatures it trusts (by as many
// distinct keys among those given as the threshold asks), and whether its
// policy lines (compatible, version, expires) let the device accept it. The
// policy is judged only for a header whose signatures passed. The checkers
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
#include "CPackageSignature.h"
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
        TooFew,      // valid signatures by fewer distinct keys given than the threshold
    };

    // One entry of the signature line.
    struct Signer {
        std::string keyId;
        SignatureState state = SignatureState::Unverified;  // Unverified, Verified, Bad
                                                            // or UnknownKey
    };

    struct Verdict {
        PackageError error = PackageError::Ok;  // Ok, BadSignature, Unsigned or RefusedByPolicy
        SignatureState signature = SignatureState::Absent;  // of the line as a whole
        std::string keyId;            // the first key whose signature failed, else the first
                                      // that verified, else the line's first entry's
        std::string signedMessage;    // the bytes the signatures cover
        std::vector<Signer> signers;  // the line's entries, in stored order
        unsigned verifiedKeys = 0;    // distinct keys given whose signature verified
        unsigned threshold = 1;       // how many were needed
        bool hasVersion = false;      // the "version" line holds a number
        uint32_t version = 0;         // it, packed
        bool policyJudged = false;    // the policy was judged (the signatures passed)
        std::string policyRefused;    // the line that refused the package, or empty
        std::string policyReason;     // why, e.g. "expired at 2026-01-01T00:00:00Z"
    };

    // A key a signature may be made with; with one or more, a signature is
    // required. A key given twice counts once.
    void AddKey(const CEd25519Key& key);
    bool HasKeys() const { return !m_keys.empty(); }
    unsigned KeyCount() const { return static_cast<unsigned>(m_keys.size()); }
    // How many distinct keys among those given must have signed (default 1; 0
    // counts as 1).
    void SetThreshold(unsigned threshold) { m_threshold = threshold > 0 ? threshold : 1; }
    // The product or board the device is: a package must name it in
    // "compatible". A name that names nothing (NamesSomething) gives false,
    // and every package is then refused: it must never switch the check off.
    bool SetCompatible(const std::string& name);
    // False for a value that is empty or holds spaces and tabs alone, as an
    // unset variable in a device's script gives.
    static bool NamesSomething(const std::string& value);
    // The lowest packed version (as the "version" line holds it) accepted.
    void SetMinimumVersion(uint32_t packed) {
        m_minimumVersion = packed;
        m_hasMinimumVersion = true;
    }
    // The time "expires" is judged at, in seconds since the epoch (default: the
    // time of each Judge). A package is expired from the second its line names.
    void SetTime(int64_t seconds) {
        m_time = seconds;
        m_hasTime = true;
    }

    // A signature verified by the keys given is required even when no key is:
    // without keys, every package is then refused as Unsigned, its signature
    // (Absent or Unverified) checked by none.
    void RequireSignature() { m_requireSignature = true; }

    // Judges the signatures alone, for a signer that may set the policy lines anew.
    void SkipPolicy() { m_skipPolicy = true; }

    // Judges a header that CPackageHeader::Read accepted.
    Verdict Judge(const CPackageHeader& header) const;

    static const char* StateText(SignatureState state);
    // Why `verdict` refused the header, in the words pkgcheck prints: the
    // policy's reason, or, for too few signers, "valid signatures by N of the
    // keys given, M needed"; empty for any other verdict.
    static std::string Reason(const Verdict& verdict);

  private:
    // True when a signature is required and no key was given to check it.
    bool Unchecked(const Verdict& verdict) const;
    SignatureState CheckSignatures(const CPackageHeader& header, Verdict& verdict) const;
    SignatureState CheckEntry(const CPackageSignature& entry, const std::string& message) const;
    // The refusal of the first policy line that fails, or empty.
    std::string JudgePolicy(const CPackageHeader& header, Verdict& verdict) const;
    std::string JudgeCompatible(const CPackageHeader& header) const;
    std::string JudgeVersion(const Verdict& verdict) const;
    std::string JudgeExpiry(const CPackageHeader& header) const;

    std::vector<CEd25519Key> m_keys;
    unsigned m_threshold = 1;
    std::string m_compatible;
    bool m_hasCompatible = false;  // else any package's compatible line will do
    uint32_t m_minimumVersion = 0;
    bool m_hasMinimumVersion = false;
    int64_t m_time = 0;
    bool m_hasTime = false;
    bool m_skipPolicy = false;
    bool m_requireSignature = false;
};
