// The keys the package commands are given: PEM key files, keyrings, keys in
// PKCS#11 tokens and the files their PINs are kept in. Each call says why it
// failed in `cause`, for the message "PROGRAM: FILE: cause".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CEd25519Key.h"
#include "CSigningKey.h"

namespace KeyFiles {

// A key file larger than this is not a PEM key.
constexpr size_t kMaxKeyFile = 64 * 1024;

// Reads a whole small file; false with `cause` set when it cannot.
bool ReadSmallFile(const std::string& path, std::string& text, std::string& cause);
// Reads a whole file of at most `max` bytes; false with `cause` set when it
// cannot, or `tooLarge` when it is longer.
bool ReadBoundedFile(const std::string& path, size_t max, const char* tooLarge, std::string& text,
                     std::string& cause);

// Loads an Ed25519 key of the kind asked for from a PEM file, an encrypted
// private key with `passphrase` (null: none given); false with `cause`.
bool LoadKey(const std::string& path, bool wantPrivate, CEd25519Key& key, std::string& cause,
             const std::string* passphrase = nullptr);

// The public keys of a keyring file (PEM public keys one after the other);
// false with `cause`.
bool LoadKeyring(const std::string& path, std::vector<CEd25519Key>& keys, std::string& cause);

// Where a token key's PIN comes from: --pin-file, else the URI's pin-source;
// and the passphrase of an encrypted PEM private key: --pass-file.
struct TokenAccess {
    std::string pinFile;
    std::string passFile;
    std::string module;  // --module, or empty
};

// Opens the key `keyName` names to sign with: a PKCS#11 URI, or a PEM private key
// file. When a token key needs a new pair made (generate), it is made. False
// with `cause`, naming in `file` what the cause is about.
bool LoadSigner(const std::string& keyName, const TokenAccess& access, bool generate,
                std::unique_ptr<CSigningKey>& signer, std::string& file, std::string& cause);

}  // namespace KeyFiles
