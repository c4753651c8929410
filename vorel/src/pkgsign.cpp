// pkgsign: signs an upgrade package, or makes a key pair to sign with.
//
//   pkgsign -k KEY [-k KEY]... [--add] [--compatible NAME] [--expires TIME] [-o OUT] PACKAGE
//   pkgsign --message-out MSG [...] PACKAGE
//   pkgsign --attach SIG --public PUB.pem [...] [-o OUT] PACKAGE
//   pkgsign -g NAME|URI
//   pkgsign --public KEY
//
// The command itself is shared with fwkit's sign and keygen (SignCommand.h);
// this program gives it its names and its help.
#include <string>

#include "PackageTool.h"
#include "SignCommand.h"
#include "Stdout.h"

namespace {

const char kProgram[] = "pkgsign";

const char kHelp[] =
    "Usage: pkgsign -k KEY [-k KEY]... [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       pkgsign --message-out MSG [--add] [POLICY] PACKAGE\n"
    "       pkgsign --attach SIG --public PUB.pem [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       pkgsign -g NAME|URI\n"
    "       pkgsign --public KEY\n"
    "Sign an upgrade package with Ed25519 keys: add a sha256 line for its image and a\n"
    "signature line over its header, replacing any earlier ones. A KEY is a PEM private\n"
    "key file or a PKCS#11 URI (pkcs11:token=TOKEN;object=LABEL).\n"
    "\n"
    "  -k, --key=KEY          a key to sign with (repeatable: one signature each)\n"
    "      --add              keep the signatures the package has\n"
    "      --compatible=NAME  set the signed line \"compatible: NAME\" (product or board)\n"
    "      --expires=TIME     set the signed line \"expires: TIME\" (YYYY-MM-DDTHH:MM:SSZ)\n"
    "  -o, --output=OUT       write the signed package to OUT (default: over PACKAGE)\n"
    "      --message-out=MSG  write the bytes a signature covers to MSG, sign nothing\n"
    "      --attach=SIG       add the raw 64-byte signature SIG made over that message\n"
    "      --public=PUB.pem   the public key of the --attach in the same place; alone:\n"
    "                         print the public key of KEY in PEM\n"
    "  -g, --generate=NAME    make a key pair NAME.pem (private, mode 0600) and NAME.pub,\n"
    "                         or one in the token of a URI, and print the key id\n"
    "      --pin-file=FILE    the PIN of the token (else the URI's pin-source)\n"
    "      --module=PATH      the PKCS#11 module (default: p11-kit's proxy)\n"
    "  -h, --help             print this help and exit\n"
    "  -V, --version          print the version and exit\n"
    "\n"
    "Exit status: 0 signed (or key made, message written), 1 usage, a key or a file that\n"
    "cannot be read or written, or signatures --add cannot keep, 2 not a package,\n"
    "3 the image does not match its header.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string version = std::string(kProgram) + " (fwkit) " + PackageTool::kVersion + "\n";
    const PackageCommand::Caller caller{kProgram, kProgram, kHelp, version, "", {}, nullptr};
    SignCommand::Options options;
    const int parsed = SignCommand::Parse(argc, argv, caller, options);
    const int status = parsed == 0 ? SignCommand::Run(options) : parsed;
    return Core::CloseStdout(kProgram, parsed < 0 ? 0 : status);
}
