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
#include "PackageTool.h"
#include "Stdout.h"

namespace {

const char kProgram[] = "pkgcheck";

const char kHelp[] =
    "Usage: pkgcheck [-k PUBLIC.pem]... [--keyring FILE] [--threshold N] [POLICY] [-j]\n"
    "                [-o IMAGE] PACKAGE\n"
    "Check an upgrade package: its header, its Ed25519 signatures and policy lines, then\n"
    "the image's size, md5 and sha256. With keys, signatures by N of them are required.\n"
    "PACKAGE - reads standard input; a pipe or a device is read once, as it arrives.\n"
    "\n"
    "  -k, --key=PUBLIC.pem   a public key the signatures may be made with (repeatable)\n"
    "      --keyring=FILE     public keys in one file of PEM keys one after the other\n"
    "      --threshold=N      signatures by N distinct keys given are required (default 1)\n"
    "      --compatible=NAME  refuse a package whose compatible line is not NAME\n"
    "      --min-version=V    refuse a version below V (MAJOR.MINOR.BUILD or packed)\n"
    "      --at=TIME          judge expiry at TIME (YYYY-MM-DDTHH:MM:SSZ), not now\n"
    "  -j, --json             print one JSON document instead of the lines\n"
    "  -o, --output=IMAGE     write the image to IMAGE when every check passed\n"
    "                         (from a stream, a device or stream IMAGE gets it as it\n"
    "                         passes: the exit status is then the verdict)\n"
    "  -h, --help             print this help and exit\n"
    "  -V, --version          print the version and exit\n"
    "\n"
    "Exit status: 0 every check passed, 1 usage or a file that cannot be read or\n"
    "written, 2 not a package, 3 the image does not match, 4 a signature that is\n"
    "malformed, does not verify, or too few signatures by the keys given, 5 a key was\n"
    "given and the package is unsigned, 6 refused by policy.\n";

}  // namespace

int main(int argc, char** argv) {
    const std::string version = std::string(kProgram) + " (fwkit) " + PackageTool::kVersion + "\n";
    const PackageCommand::Caller caller{kProgram, kProgram, kHelp, version, "", {}, nullptr};
    CheckCommand::Options options;
    const int parsed = CheckCommand::Parse(argc, argv, caller, options);
    const int status = parsed == 0 ? CheckCommand::Run(options) : parsed;
    return Core::CloseStdout(kProgram, parsed < 0 ? 0 : status);
}
