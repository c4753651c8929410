// pkgcheck: checks an upgrade package before it is used: its header, its image
// against the header's filesize, md5 and sha256, its signatures against the
// public keys given (as many as the threshold asks), and the device's policy
// (compatible, minimum version, expiry); optionally writes the image out when
// every check passed.
//
//   pkgcheck [-k PUBLIC.pem]... [--keyring FILE] [--threshold N] [--compatible NAME]
//            [--min-version V] [--at TIME] [-j] [-o IMAGE] PACKAGE
//
// The command itself is shared with fwkit's check (CheckCommand.h); this program
// gives it its names and its help.
#include <string>

#include "CheckCommand.h"
#include "Messages.h"
#include "Stdout.h"

namespace {

const char kProgram[] = "pkgcheck";

const char kUsage[] =
    "Usage: pkgcheck [-k PUBLIC.pem]... [--keyring FILE] [--threshold N] [POLICY] [-j]\n"
    "                [-o IMAGE] [--sbom FILE] PACKAGE\n";
const char kEnd[] =
    "  -h, --help             print this help and exit\n"
    "  -V, --version          print the version and exit\n"
    "\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string version = std::string(kProgram) + " (fwkit) " + Messages::Version() + "\n";
    const std::string help = std::string(kUsage) + CheckCommand::kAbout + "\n" +
                             CheckCommand::kPolicyHelp + CheckCommand::kJsonHelp +
                             CheckCommand::kOutputHelp + CheckCommand::kSbomHelp + kEnd +
                             CheckCommand::kStatusHelp;
    const PackageCommand::Caller caller{kProgram, kProgram, help, version, "", {}, nullptr};
    CheckCommand::Options options;
    const int parsed = CheckCommand::Parse(argc, argv, caller, options);
    const int status = parsed == 0 ? CheckCommand::Run(options) : parsed;
    return Core::CloseStdout(kProgram, parsed < 0 ? 0 : status);
}
