// The table of fwkit's subcommands.
#include "Command.h"
#include "Subcommands.h"

namespace Cli {

// The table is built into fwkit and into the package module alike: fwkit learns from
// it which subcommands to load the module for, the module which function runs each.
// The module's subcommands are those that need libcrypto: signing, checking, keys,
// stamping (a package's digests are computed together), encoding packages, and the
// installer's commands (which judge packages, and share one library).
#ifdef FWKIT_PACKAGE_MODULE
#define IN_MODULE(run) run, true
#define HERE(run) nullptr, false
#else
#define IN_MODULE(run) nullptr, true
#define HERE(run) run, false
#endif

const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {"pack", HERE(Pack), "wrap a data file in a fragment header: a physical firmware file"},
        {"join", HERE(Join), "join physical firmware files into one logical firmware file"},
        {"list", HERE(List), "check firmware files and list their fragments; list package headers"},
        {"extract", HERE(Extract), "check a firmware file and write out the data of its fragments"},
        {"stamp", IN_MODULE(Stamp), "turn an image into an upgrade package"},
        {"sign", IN_MODULE(Sign), "sign an upgrade package with Ed25519 keys"},
        {"check", IN_MODULE(Check), "check upgrade packages: header, image, signatures and policy"},
        {"keygen", IN_MODULE(Keygen), "make a key pair to sign with, in files or in a token"},
        {"delta", IN_MODULE(Delta), "compress a package's image, or encode it against a base image"},
        {"sbom", IN_MODULE(Sbom), "extract a package's bill of materials, or make an image's"},
        {"install", IN_MODULE(Install), "install a package into the slot that is not running"},
        {"status", IN_MODULE(Status), "show the slots, which one is booted and which boots next"},
        {"mark-good", IN_MODULE(MarkGood), "confirm the booted slot after a good boot"},
        {"mark-bad", IN_MODULE(MarkBad), "mark a slot bad: no tries left, last in the boot order"},
        {"mark-active", IN_MODULE(MarkActive), "boot a slot next, with its tries"},
    };
    return kCommands;
}

}  // namespace Cli
