// What pkgsign and pkgcheck share on their way in and out: messages in the
// form "PROGRAM: FILE: cause", reading key files, keyrings and keys in tokens,
// and looking at the package file before it is read.
#pragma once

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CBuffer.h"
#include "CEd25519Key.h"
#include "CPackageCheck.h"
#include "CPkcs11Key.h"
#include "CPkcs11Uri.h"
#include "CSha256.h"
#include "FilePath.h"
#include "Output.h"
#include "Text.h"

namespace PackageTool {

// The project's version, handed to every program by the build.
constexpr char kVersion[] = FWKIT_VERSION;

// A key file larger than this is not a PEM key.
constexpr size_t kMaxKeyFile = 64 * 1024;

// Prints "PROGRAM: FILE: cause" on standard error; returns 1, the status of a
// file that cannot be read or written.
inline int Complain(const char* program, const std::string& file, const std::string& cause) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s: %s\n", program, Core::Text::Escaped(file).c_str(), cause.c_str());
    return 1;
}

// Prints "PROGRAM: message" and the hint to --help on standard error; returns 1.
inline int UsageError(const char* program, const std::string& message) {
    if (!message.empty())
        std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return 1;
}

// 0 when an option's value was read (`problem` empty), else the usage error
// "COMMAND: OPTION: problem"; returns its status.
inline int ValueProblem(const char* command, const char* option, const std::string& problem) {
    return problem.empty() ? 0 : UsageError(command, std::string(option) + ": " + problem);
}

// The usage error for what getopt_long returned as ':' (a missing argument) or
// '?' (an unknown option), when it was told to stay quiet (opterr = 0 and an
// option string starting with ':'), so that the message names the program as
// every other message does. Returns 1.
inline int OptionError(const char* program, int returned, char** argv) {
    const std::string option =
        optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1]);
    return UsageError(
        program, (returned == ':' ? "option needs an argument: " : "unknown option: ") + option);
}

// Reads a whole small file; false with `cause` set when it cannot.
inline bool ReadSmallFile(const std::string& path, std::string& text, std::string& cause) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        cause = std::strerror(errno);
        return false;
    }
    text.clear();
    char chunk[4096];
    ssize_t got = 0;
    do {
        got = read(fd, chunk, sizeof chunk);
        if (got > 0)
            text.append(chunk, static_cast<size_t>(got));
    } while ((got > 0 || (got < 0 && errno == EINTR)) && text.size() <= kMaxKeyFile);
    cause = got < 0                     ? std::strerror(errno)
            : text.size() > kMaxKeyFile ? "too large for a key file"
                                        : "";
    close(fd);
    return cause.empty();
}

// Loads an Ed25519 key of the kind asked for from a PEM file; false with `cause`.
inline bool LoadKey(const std::string& path, bool wantPrivate, CEd25519Key& key,
                    std::string& cause) {
    std::string pem;
    if (!ReadSmallFile(path, pem, cause))
        return false;
    key = CEd25519Key::FromPem(pem);
    if (!key.Valid()) {
        cause = wantPrivate ? "not an Ed25519 private key (PEM, unencrypted)"
                            : "not an Ed25519 public key (PEM)";
    } else if (key.IsPrivate() != wantPrivate) {
        cause = wantPrivate ? "a public key; signing needs the private key"
                            : "a private key; give its public key (openssl pkey -pubout)";
    }
    return cause.empty();
}

// The public keys of a keyring file (PEM public keys one after the other);
// false with `cause`.
inline bool LoadKeyring(const std::string& path, std::vector<CEd25519Key>& keys,
                        std::string& cause) {
    std::string pem;
    if (!ReadSmallFile(path, pem, cause))
        return false;
    keys = CEd25519Key::KeyringFromPem(pem, cause);
    return cause.empty();
}

// Where a token key's PIN comes from: --pin-file, else the URI's pin-source.
struct TokenAccess {
    std::string pinFile;
    std::string module;  // --module, or empty
};

// The PIN in a PIN file: its first line, without the line feed.
inline bool ReadPin(const std::string& path, std::string& pin, std::string& cause) {
    if (!ReadSmallFile(path, pin, cause))
        return false;
    pin = pin.substr(0, pin.find('\n'));
    if (!pin.empty() && pin.back() == '\r')
        pin.pop_back();
    return true;
}

// Opens the key `keyName` names to sign with: a PKCS#11 URI, or a PEM private key
// file. When a token key needs a new pair made (generate), it is made. False
// with `cause`, naming in `file` what the cause is about.
inline bool LoadSigner(const std::string& keyName, const TokenAccess& access, bool generate,
                       std::unique_ptr<CSigningKey>& signer, std::string& file,
                       std::string& cause) {
    file = keyName;
    if (!CPkcs11Uri::IsUri(keyName)) {
        auto key = std::make_unique<CEd25519Key>();
        if (!LoadKey(keyName, true, *key, cause))
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

// Whether the package can be read: an existing regular file that can be
// opened. False with `cause`. Its size is judged by the checker, on the size
// of the file it reads.
inline bool CheckPackageFile(const std::string& path, std::string& cause) {
    cause = CPackageCheck::FileProblem(path);
    return cause.empty();
}

// Why an output failed, in words.
inline std::string OutputCause(const Core::File::Output& output) {
    return output.Cause();
}

enum class StreamOutcome { Streamed, WriteFailed, Changed };

// The second pass for a stream target, which can only be given bytes after a
// first pass has `verified` them: runs `check` over `package` again, writing the
// image to `output`, and digests what it writes. Streamed when the bytes written
// are the ones verified (as many, the same SHA-256) and the pass ends as the first
// did; Changed when the package changed in between.
inline StreamOutcome StreamVerified(CPackageCheck& check, CBuffer& package,
                                    Core::File::Output& output,
                                    const CPackageCheck::Result& verified) {
    CSha256 sha256;
    uint64_t size = 0;
    check.SetImageSink([&](const uint8_t* data, size_t count) {
        sha256.Update(data, count);
        size += count;
        return output.Write(data, count);
    });
    const PackageError error = check.Run(package).error;
    if (error == PackageError::WriteFailed)
        return StreamOutcome::WriteFailed;
    bool same = error == verified.error && sha256.HexDigest() == verified.sha256;
    for (const CPackageCheck::Item& item : verified.checks)
        same = same && (item.name != "filesize" || item.computed == std::to_string(size));
    return same ? StreamOutcome::Streamed : StreamOutcome::Changed;
}

}  // namespace PackageTool
