// Signing: the package is checked before it is signed (header, filesize, md5) and
// written again with fresh "sha256" and "signature" header lines; its image is read
// once, digested and copied in the same pass. A KEY is a PEM private key file or a
// PKCS#11 URI of a key in a token.
#include "SignCommand.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "CDetachedSignature.h"
#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CPackageSigner.h"
#include "CPkcs11Uri.h"
#include "Messages.h"
#include "Output.h"
#include "Parse.h"
#include "Stdout.h"
#include "Text.h"

namespace SignCommand {

const char kAbout[] =
    "Sign an upgrade package with Ed25519 keys: add a sha256 line for its image and a\n"
    "signature line over its header, replacing any earlier ones. A KEY is a PEM private\n"
    "key file or a PKCS#11 URI (pkcs11:token=TOKEN;object=LABEL).\n";
const char kSigningHelp[] =
    "  -k, --key=KEY          a key to sign with (repeatable: one signature each)\n"
    "      --add              keep the signatures the package has\n"
    "      --compatible=NAME  set the signed line \"compatible: NAME\" (product or board)\n"
    "      --expires=TIME     set the signed line \"expires: TIME\" (YYYY-MM-DDTHH:MM:SSZ)\n"
    "  -o, --output=OUT       write the signed package to OUT (default: over PACKAGE)\n"
    "      --message-out=MSG  write the bytes a signature covers to MSG, sign nothing\n"
    "      --attach=SIG       add the raw 64-byte signature SIG made over that message\n"
    "      --public=PUB.pem   the public key of the --attach in the same place; alone:\n"
    "                         print the public key of KEY in PEM\n";
const char kGenerateHelp[] =
    "  -g, --generate=NAME    make a key pair NAME.pem (private, mode 0600) and NAME.pub,\n"
    "                         or one in the token of a URI, and print the key id\n";
const char kTokenHelp[] =
    "      --pin-file=FILE    the PIN of the token (else the URI's pin-source)\n"
    "      --module=PATH      the PKCS#11 module (default: p11-kit's proxy)\n";

namespace {

// One key signing the package, and the name its messages give.
struct Signer {
    std::string name;
    std::unique_ptr<CSigningKey> key;
};

enum LongOnly {
    kAdd = 256,
    kCompatible,
    kExpires,
    kMessageOut,
    kAttach,
    kPublic,
    kPinFile,
    kModule
};

// Takes one option; 0, or the status of a usage error.
int TakeOption(int c, Options& options) {
    const std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
        case 'k':
            options.keys.push_back(value);
            return 0;
        case 'o':
            options.output = value;
            return 0;
        case 'g':
            options.generate = value;
            return 0;
        case kAdd:
            options.add = true;
            return 0;
        case kCompatible:
            options.compatible = value;
            return CPackageHeader::IsValue(value)
                       ? 0
                       : Messages::UsageError(options.command, "--compatible: '" + value +
                                                                   "' is not a word of printable "
                                                                   "ASCII without blanks");
        case kExpires: {
            int64_t seconds = 0;
            const std::string problem = Core::Parse::UtcTime(value, seconds);
            options.expires = value;
            return Messages::ValueProblem(options.command, "--expires", problem);
        }
        case kMessageOut:
            options.messageOut = value;
            return 0;
        case kAttach:
            options.attach.push_back(value);
            return 0;
        case kPublic:
            options.publics.push_back(value);
            return 0;
        case kPinFile:
            options.access.pinFile = value;
            return 0;
        case kModule:
            options.access.module = value;
            return 0;
    }
    return 1;
}

// What may stand beside what: 0, or the status of a usage error.
int CheckCombination(const Options& options, int operands) {
    const bool signs = !options.keys.empty() || !options.attach.empty();
    const bool policy = options.add || !options.compatible.empty() || !options.expires.empty();
    if (!options.generate.empty()) {
        if (operands != 0 || signs || policy || !options.output.empty() ||
            !options.messageOut.empty() || !options.publics.empty())
            return Messages::UsageError(options.command, "-g takes no other option or operand");
        return 0;
    }
    if (options.attach.empty() && !options.publics.empty()) {
        if (options.publics.size() != 1 || operands != 0 || signs || policy ||
            !options.output.empty() || !options.messageOut.empty())
            return Messages::UsageError(options.command, "--public KEY takes no other operand");
        return 0;
    }
    if (options.attach.size() != options.publics.size())
        return Messages::UsageError(options.command,
                                    "each --attach SIG needs its --public PUB.pem");
    if (!options.messageOut.empty() && (signs || !options.output.empty()))
        return Messages::UsageError(options.command,
                                    "--message-out signs nothing and writes no package");
    if (options.messageOut.empty() && !signs)
        return Messages::UsageError(options.command, "no key given (-k KEY)");
    if (operands != 1)
        return Messages::UsageError(options.command, "give exactly one PACKAGE");
    return 0;
}

// Prints a result line on standard output, unless quiet.
void Say(const Options& options, const std::string& line) {
    if (!options.quiet)
        std::fputs(line.c_str(), stdout);
}

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

int Generate(const Options& options) {
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
        std::unique_ptr<CSigningKey> signer;
        if (KeyFiles::LoadSigner(keyName, options.access, false, signer, file, cause))
            pem = signer->PublicPem();
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

// Opens every key to sign with: the -k keys, then the --attach signatures.
// 0, or the status of the failure after its message.
int LoadSigners(const Options& options, std::vector<Signer>& signers) {
    std::string file;
    std::string cause;
    for (const std::string& keyName : options.keys) {
        Signer signer{keyName, nullptr};
        if (!KeyFiles::LoadSigner(keyName, options.access, false, signer.key, file, cause))
            return Messages::Complain(options.program, file, cause);
        signers.push_back(std::move(signer));
    }
    for (size_t i = 0; i < options.attach.size(); ++i) {
        CEd25519Key key;
        std::string signature;
        if (!KeyFiles::LoadKey(options.publics[i], false, key, cause))
            return Messages::Complain(options.program, options.publics[i], cause);
        if (!KeyFiles::ReadSmallFile(options.attach[i], signature, cause))
            return Messages::Complain(options.program, options.attach[i], cause);
        signers.push_back(
            {options.attach[i], std::make_unique<CDetachedSignature>(key, signature)});
    }
    for (size_t i = 0; i < signers.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (signers[j].key->KeyId() == signers[i].key->KeyId())
                return Messages::Complain(options.program, signers[i].name,
                                          "signs with key " + signers[i].key->KeyId() + " as " +
                                              signers[j].name + " does");
        }
    }
    return 0;
}

// The request of the signer: the keys opened, the lines to set.
CPackageSigner::Request SigningRequest(const Options& options, const std::vector<Signer>& signers) {
    CPackageSigner::Request request;
    for (const Signer& signer : signers)
        request.keys.push_back({signer.name, signer.key.get()});
    request.compatible = options.compatible;
    request.expires = options.expires;
    request.keep = options.add;
    return request;
}

// The signer's failure, in its messages; the exit status (0 when it signed).
int Report(const Options& options, const std::vector<Signer>& signers,
           const CPackageSigner::Result& result) {
    using Culprit = CPackageSigner::Culprit;
    const std::string& file = result.culprit == Culprit::Key      ? signers[result.key].name
                              : result.culprit == Culprit::Output ? options.output
                                                                  : options.package;
    for (const std::string& problem : result.problems)
        Messages::Complain(options.program, file, problem);
    return PackageErrorStatus(result.error);
}

// The package's file, and the output it is written to; 0, or a status.
int CheckFiles(Options& options) {
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Messages::Complain(options.program, options.package, cause);
    if (options.output.empty())
        options.output = options.package;
    return 0;
}

std::string KeyIds(const std::vector<std::string>& keyIds) {
    std::string ids;
    for (const std::string& id : keyIds)
        ids += (ids.empty() ? "" : ", ") + id;
    return (keyIds.size() == 1 ? "key " : "keys ") + ids;
}

int Sign(Options options) {
    std::vector<Signer> signers;
    if (const int status = LoadSigners(options, signers))
        return status;
    CPackageSigner signer(SigningRequest(options, signers));
    if (const int status = Report(options, signers, signer.CheckKeys()))
        return status;
    if (const int status = CheckFiles(options))
        return status;
    CInputFile buffer(options.package);
    const std::string shown = options.output;
    Core::File::Output output(Core::SeparateFromMessages(options.output));
    for (const std::string& key : options.keys)
        output.Protect(key, "the key");  // a URI names no file and protects nothing
    for (size_t i = 0; i < options.attach.size(); ++i) {
        output.Protect(options.attach[i], "the signature");
        output.Protect(options.publics[i], "the public key");
    }
    if (!output.Open())
        return Messages::Complain(options.program, shown, output.Cause());
    const CPackageSigner::Result& result = signer.Run(buffer, output);
    if (const int status = Report(options, signers, result))
        return status;
    Say(options, Core::Text::Escaped(shown) + ": signed with " + KeyIds(result.keyIds) + "\n");
    if (options.outcome != nullptr)
        *options.outcome = {shown, 0, result.keyIds, "", "", ""};
    return 0;
}

// Writes the message a signature of the package would cover, after one pass
// over the image for its SHA-256.
int WriteMessage(const Options& options) {
    const std::string cause = CPackageCheck::FileProblem(options.package);
    if (!cause.empty())
        return Messages::Complain(options.program, options.package, cause);
    CInputFile buffer(options.package);
    CPackageSigner signer(SigningRequest(options, {}));
    std::string message;
    if (const int status = Report(options, {}, signer.Message(buffer, message)))
        return status;
    Core::File::Output output(Core::SeparateFromMessages(options.messageOut));
    output.Protect(options.package, "the package");
    if (!output.Open() || !output.Write(message.data(), message.size()) || !output.Commit(true))
        return Messages::Complain(options.program, options.messageOut, output.Cause());
    Say(options, Core::Text::Escaped(options.messageOut) + ": " + std::to_string(message.size()) +
                     " bytes to sign\n");
    if (options.outcome != nullptr)
        *options.outcome = {options.messageOut, message.size(), {}, "", "", ""};
    return 0;
}

}  // namespace

int Run(const Options& options) {
    if (!options.generate.empty())
        return Generate(options);
    if (options.attach.empty() && !options.publics.empty())
        return PrintPublic(options);
    if (!options.messageOut.empty())
        return WriteMessage(options);
    return Sign(options);
}

// The options offered, the letters of those that have one.
std::vector<option> Offered(Offer offer, std::string& letters) {
    const std::vector<option> all = {{"key", required_argument, nullptr, 'k'},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"generate", required_argument, nullptr, 'g'},
                                     {"add", no_argument, nullptr, kAdd},
                                     {"compatible", required_argument, nullptr, kCompatible},
                                     {"expires", required_argument, nullptr, kExpires},
                                     {"message-out", required_argument, nullptr, kMessageOut},
                                     {"attach", required_argument, nullptr, kAttach},
                                     {"public", required_argument, nullptr, kPublic},
                                     {"pin-file", required_argument, nullptr, kPinFile},
                                     {"module", required_argument, nullptr, kModule}};
    letters = offer == Offer::All ? "k:o:g:" : offer == Offer::Signing ? "k:o:" : "";
    std::vector<option> offered;
    for (const option& o : all) {
        const bool token = o.val == kPinFile || o.val == kModule;
        if (offer == Offer::All || (offer == Offer::Signing && o.val != 'g') || token)
            offered.push_back(o);
    }
    return offered;
}

int Parse(int argc, char** argv, const PackageCommand::Caller& caller, Offer offer,
          Options& options) {
    options.program = caller.program;
    options.command = caller.command;
    std::string letters;
    std::vector<option> offered = Offered(offer, letters);
    const int read =
        PackageCommand::ReadOptions(argc, argv, caller, letters, std::move(offered),
                                    [&options](int c) { return TakeOption(c, options); });
    if (read != 0)
        return read;
    const int operands = argc - optind;
    if (offer == Offer::Keygen) {
        if (operands != 1)
            return Messages::UsageError(options.command, "give exactly one NAME or URI");
        options.generate = argv[optind];
        return 0;
    }
    if (CheckCombination(options, operands) != 0)
        return 1;
    if (operands == 1)
        options.package = argv[optind];
    return 0;
}

}  // namespace SignCommand
