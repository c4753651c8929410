#include "KeyFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "CPkcs11Key.h"
#include "CPkcs11Uri.h"
#include "FilePath.h"

namespace KeyFiles {

namespace {

// The PIN in a PIN file, or the passphrase in a passphrase file: its first
// line, without the line feed.
bool ReadPin(const std::string& path, std::string& pin, std::string& cause) {
    if (!ReadSmallFile(path, pin, cause))
        return false;
    pin = pin.substr(0, pin.find('\n'));
    if (!pin.empty() && pin.back() == '\r')
        pin.pop_back();
    return true;
}

}  // namespace

bool ReadSmallFile(const std::string& path, std::string& text, std::string& cause) {
    return ReadBoundedFile(path, kMaxKeyFile, "too large for a key file", text, cause);
}

bool ReadBoundedFile(const std::string& path, size_t max, const char* tooLarge, std::string& text,
                     std::string& cause) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        cause = std::strerror(errno);
        return false;
    }
    text.clear();
    char chunk[4096];
    ssize_t got = 0;
    while (text.size() <= max && (got = Core::File::ReadSome(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    cause = got < 0              ? std::strerror(errno)
            : text.size() > max ? tooLarge
                                 : "";
    close(fd);
    return cause.empty();
}

bool LoadKey(const std::string& path, bool wantPrivate, CEd25519Key& key, std::string& cause,
             const std::string* passphrase) {
    std::string pem;
    if (!ReadSmallFile(path, pem, cause))
        return false;
    key = CEd25519Key::FromPem(pem, passphrase);
    const bool encrypted = CEd25519Key::IsEncryptedPem(pem);
    if (encrypted && !key.Valid()) {
        cause = passphrase == nullptr ? "an encrypted private key; give its passphrase with "
                                        "--pass-file FILE"
                                      : "the passphrase of --pass-file does not decrypt it";
    } else if (CEd25519Key::PemBlocks(pem) > 1) {
        cause = wantPrivate ? "holds several keys; a key file to sign with holds one"
                            : "holds several keys; give them with --keyring, or one per -k";
    } else if (!key.Valid()) {
        cause = wantPrivate ? "not an Ed25519 private key (PEM)"
                            : "not an Ed25519 public key (PEM)";
    } else if (key.IsPrivate() != wantPrivate) {
        cause = wantPrivate ? "a public key; signing needs the private key"
                            : "a private key; give its public key (openssl pkey -pubout)";
    }
    return cause.empty();
}

bool LoadKeyring(const std::string& path, std::vector<CEd25519Key>& keys, std::string& cause) {
    std::string pem;
    if (!ReadSmallFile(path, pem, cause))
        return false;
    keys = CEd25519Key::KeyringFromPem(pem, cause);
    return cause.empty();
}

bool LoadSigner(const std::string& keyName, const TokenAccess& access, bool generate,
                std::unique_ptr<CSigningKey>& signer, std::string& file, std::string& cause) {
    file = keyName;
    if (!CPkcs11Uri::IsUri(keyName)) {
        std::string passphrase;
        if (!access.passFile.empty() && !ReadPin(access.passFile, passphrase, cause)) {
            file = access.passFile;
            return false;
        }
        auto key = std::make_unique<CEd25519Key>();
        if (!LoadKey(keyName, true, *key, cause, access.passFile.empty() ? nullptr : &passphrase))
            return false;
        signer = std::move(key);
        return true;
    }
    CPkcs11Uri uri;
    if (!uri.Parse(keyName, cause))
        return false;
    std::string pin;
    const std::string pinFile = access.pinFile.empty() ? uri.pinSource : access.pinFile;
    if (!pinFile.empty() && !ReadPin(pinFile, pin, cause)) {
        file = pinFile;
        return false;
    }
    signer = generate ? CPkcs11Key::Generate(uri, access.module, pin, cause)
                      : CPkcs11Key::Open(uri, access.module, pin, cause);
    return signer != nullptr;
}

}  // namespace KeyFiles
