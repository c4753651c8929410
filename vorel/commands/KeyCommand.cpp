// Making a key pair to sign with, in PEM files or in a token, and printing the
// public half of a key: pkgsign -g and --public, fwkit keygen.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "CPkcs11Key.h"
#include "CPkcs11Uri.h"
#include "Messages.h"
#include "Output.h"
#include "SignCommand.h"

namespace SignCommand {

namespace {

const char* const kKeyExists = "exists; a key is never overwritten";

// Writes `text` to `path` through the toolkit's output path; a secret is
// readable and writable by its owner alone, from before its first byte, and
// never replaces a file, even one that appears while it is written.
bool WriteKeyFile(const std::string& path, const std::string& text, bool secret,
                  std::string& cause) {
    Core::File::Output output(path);
    if (secret)
        output.KeepExisting();
    const bool ok = output.Open() && (!secret || fchmod(output.Fd(), 0600) == 0) &&
                    output.Write(text.data(), text.size()) && output.Commit(true);
    if (!ok)
        cause = secret && output.Error() == EEXIST ? kKeyExists : output.Cause();
    return ok;
}

int GenerateFiles(const Options& options, const std::string& name) {
    const std::string pem = name + ".pem";
    const std::string pub = name + ".pub";
    struct stat st {};
    if (lstat(pem.c_str(), &st) == 0)
        return Messages::Complain(options.program, pem, kKeyExists);
    const CEd25519Key key = CEd25519Key::Generate();
    if (!key.Valid())
        return Messages::Complain(options.program, pem, "cannot make a key");
    std::string cause;
    if (!WriteKeyFile(pem, key.PrivatePem(), true, cause))
        return Messages::Complain(options.program, pem, cause);
    if (!WriteKeyFile(pub, key.PublicPem(), false, cause))
        return Messages::Complain(options.program, pub, cause);
    Say(options, key.KeyId() + "\n");
    if (options.outcome != nullptr)
        *options.outcome = {"", 0, {key.KeyId()}, pem, pub, ""};
    return 0;
}

}  // namespace

int MakeKeys(const Options& options) {
    if (!CPkcs11Uri::IsUri(options.generate))
        return GenerateFiles(options, options.generate);
    std::unique_ptr<CSigningKey> key;
    std::string file;
    std::string cause;
    if (!KeyFiles::LoadSigner(options.generate, options.access, true, key, file, cause))
        return Messages::Complain(options.program, file, cause);
    Say(options, key->KeyId() + "\n");
    if (options.outcome != nullptr)
        *options.outcome = {"", 0, {key->KeyId()}, "", "", options.generate};
    return 0;
}

// Prints the public half of a key in a token, or of a PEM key file (private
// or public).
int PrintPublic(const Options& options) {
    const std::string& keyName = options.publics.front();
    std::string file = keyName;
    std::string cause;
    std::string pem;
    if (CPkcs11Uri::IsUri(keyName)) {
        // Only the public half is read: no PIN is asked for or needed.
        CPkcs11Uri uri;
        if (uri.Parse(keyName, cause))
            pem = CPkcs11Key::ReadPublic(uri, options.access.module, cause).PublicPem();
    } else if (KeyFiles::ReadSmallFile(keyName, pem, cause)) {
        pem = CEd25519Key::FromPem(pem).PublicPem();
        if (pem.empty())
            cause = "not an Ed25519 key (PEM)";
    }
    if (!cause.empty())
        return Messages::Complain(options.program, file, cause);
    std::fputs(pem.c_str(), stdout);
    return 0;
}

}  // namespace SignCommand
