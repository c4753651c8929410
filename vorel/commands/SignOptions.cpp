// The command line of signing and of making keys: pkgsign's options, those
// fwkit sign and fwkit keygen offer of them, what may stand beside what, and
// the pieces of the help that describe them.
#include <getopt.h>

#include <string>
#include <vector>

#include "CChunkIndex.h"
#include "CPackageHeader.h"
#include "Messages.h"
#include "Parse.h"
#include "SignCommand.h"

namespace SignCommand {

const char kAbout[] =
    "Sign an upgrade package with Ed25519 keys: add a sha256 line for its image and a\n"
    "signature line over its header, replacing any earlier ones. A KEY is a PEM private\n"
    "key file or a PKCS#11 URI (pkcs11:token=TOKEN;object=LABEL).\n";
const char kSigningHelp[] =
    "  -k, --key=KEY          a key to sign with (repeatable: one signature each)\n"
    "      --add              keep the signatures the package has (each must verify)\n"
    "      --keyring=FILE     with --add: the public keys they verify with (repeatable)\n"
    "      --replace          with --add: drop those that do not verify\n"
    "      --compatible=NAME  set the signed line \"compatible: NAME\" (product or board)\n"
    "      --expires=TIME     set the signed line \"expires: TIME\" (YYYY-MM-DDTHH:MM:SSZ)\n"
    "  -o, --output=OUT       write the signed package to OUT (default: over PACKAGE)\n"
    "      --chunk=SIZE       add a chunk index: the SHA-256 of every SIZE bytes of the\n"
    "                         image (64K, 256K, 1M or 4M), written to OUT.index\n"
    "      --index            add a chunk index of the default size (64K)\n"
    "      --index-out=FILE   write the chunk index to FILE (needed with -o -)\n"
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

enum LongOnly {
    kAdd = 256,
    kCompatible,
    kExpires,
    kMessageOut,
    kAttach,
    kPublic,
    kPinFile,
    kModule,
    kKeyring,
    kReplace,
    kChunk,
    kIndex,
    kIndexOut
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
        case kKeyring:
            options.keyrings.push_back(value);
            return 0;
        case kReplace:
            options.replace = true;
            return 0;
        case kChunk: {
            const std::string problem = CChunkIndex::ParseChunk(value, options.chunk);
            return Messages::ValueProblem(options.command, "--chunk", problem);
        }
        case kIndex:
            if (options.chunk == 0)
                options.chunk = CChunkIndex::kDefaultChunk;
            return 0;
        case kIndexOut:
            options.indexOut = value;
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
    if (!options.add && (options.replace || !options.keyrings.empty()))
        return Messages::UsageError(options.command,
                                    "--keyring and --replace check the signatures --add keeps");
    if (options.attach.size() != options.publics.size())
        return Messages::UsageError(options.command,
                                    "each --attach SIG needs its --public PUB.pem");
    if (!options.messageOut.empty() && (signs || !options.output.empty()))
        return Messages::UsageError(options.command,
                                    "--message-out signs nothing and writes no package");
    if (!options.indexOut.empty() && options.chunk == 0)
        return Messages::UsageError(options.command, "--index-out goes with --chunk");
    if (options.chunk > 0 && options.output == "-" && options.indexOut.empty())
        return Messages::UsageError(options.command,
                                    "--chunk with -o -: give the index a file (--index-out FILE)");
    if (options.messageOut.empty() && !signs)
        return Messages::UsageError(options.command, "no key given (-k KEY)");
    if (operands != 1)
        return Messages::UsageError(options.command, "give exactly one PACKAGE");
    return 0;
}

}  // namespace

// The options offered, the letters of those that have one.
std::vector<option> Offered(Offer offer, std::string& letters) {
    const std::vector<option> all = {{"key", required_argument, nullptr, 'k'},
                                     {"output", required_argument, nullptr, 'o'},
                                     {"generate", required_argument, nullptr, 'g'},
                                     {"add", no_argument, nullptr, kAdd},
                                     {"keyring", required_argument, nullptr, kKeyring},
                                     {"replace", no_argument, nullptr, kReplace},
                                     {"compatible", required_argument, nullptr, kCompatible},
                                     {"expires", required_argument, nullptr, kExpires},
                                     {"message-out", required_argument, nullptr, kMessageOut},
                                     {"attach", required_argument, nullptr, kAttach},
                                     {"public", required_argument, nullptr, kPublic},
                                     {"chunk", required_argument, nullptr, kChunk},
                                     {"index", no_argument, nullptr, kIndex},
                                     {"index-out", required_argument, nullptr, kIndexOut},
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
