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

#include "Messages.h"
#include "SbomFiles.h"
#include "SignCommand.h"
#include "Stdout.h"

namespace {

const char kProgram[] = "pkgsign";

const char kUsage[] =
    "Usage: pkgsign -k KEY [-k KEY]... [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       pkgsign --message-out MSG [--add] [POLICY] PACKAGE\n"
    "       pkgsign --attach SIG --public PUB.pem [--add] [POLICY] [-o OUT] PACKAGE\n"
    "       pkgsign -g NAME|URI\n"
    "       pkgsign --public KEY\n";
const char kEnd[] =
    "  -h, --help             print this help and exit\n"
    "  -V, --version          print the version and exit\n"
    "\n"
    "Exit status: 0 signed (or key made, message written), 1 usage, a key or a file that\n"
    "cannot be read or written, or signatures --add cannot keep, 2 not a package,\n"
    "3 the image does not match its header.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string version = std::string(kProgram) + " (fwkit) " + Messages::Version() + "\n";
    const std::string help = std::string(kUsage) + SignCommand::kAbout + "\n" +
                             SignCommand::kSigningHelp + SbomFiles::kHelp + SignCommand::kGenerateHelp +
                             SignCommand::kTokenHelp + kEnd;
    const PackageCommand::Caller caller{kProgram, kProgram, help, version, "", {}, nullptr};
    SignCommand::Options options;
    const int parsed = SignCommand::Parse(argc, argv, caller, SignCommand::Offer::All, options);
    const int status = parsed == 0 ? SignCommand::Run(options) : parsed;
    return Core::CloseStdout(kProgram, parsed < 0 ? 0 : status);
}
