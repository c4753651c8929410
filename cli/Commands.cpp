// The table of fwkit's subcommands.
#include "Command.h"
#include "Subcommands.h"

namespace Cli {

const std::vector<Command>& Commands() {
    static const std::vector<Command> kCommands = {
        {"pack", Pack, "wrap a data file in a fragment header: a physical firmware file"},
        {"join", Join, "join physical firmware files into one logical firmware file"},
        {"list", List, "check firmware files and list their fragments"},
        {"extract", Extract, "check a firmware file and write out the data of its fragments"},
        {"stamp", Stamp, "turn an image into an upgrade package"},
        {"sign", Sign, "sign an upgrade package with Ed25519 keys"},
        {"check", Check, "check upgrade packages: header, image, signatures and policy"},
        {"keygen", Keygen, "make a key pair to sign with, in files or in a token"},
    };
    return kCommands;
}

}  // namespace Cli
