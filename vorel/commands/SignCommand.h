// Signing an upgrade package, making a key pair to sign with, writing the message a
// signature covers, attaching signatures made elsewhere and printing a public key:
// the command pkgsign runs, and fwkit as its sign and keygen subcommands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "KeyFiles.h"
#include "PackageCommand.h"

namespace SignCommand {

struct Options {
    const char* program = "";          // as the caller names itself in messages
    const char* command = "";          // and in usage errors
    std::vector<std::string> keys;     // -k: files or URIs
    std::vector<std::string> attach;   // --attach SIG, each with the --public of its place
    std::vector<std::string> publics;  // --public
    KeyFiles::TokenAccess access;
    std::string output;
    std::string generate;
    std::string messageOut;
    std::string compatible;
    std::string expires;
    int64_t expiresAt = 0;  // --expires, in seconds since the epoch
    bool force = false;     // --force: sign with an --expires already past
    bool add = false;
    std::vector<std::string> keyrings;  // --keyring: the keys the kept signatures verify with
    bool replace = false;               // --replace: a kept signature that does not is dropped
    std::string sbom;     // --sbom: the bill of materials to carry
    std::string sbomOut;  // --sbom-out: where it goes (default: beside the output)
    uint64_t chunk = 0;    // --chunk: a chunk index of this chunk size
    std::string indexOut;  // --index-out: where it goes (default PACKAGE.index beside the output)
    std::string package;
    bool quiet = false;  // no result lines (the key id, "signed with ...")
    // When set, what the run made is kept there, for a caller that reports it in a
    // form of its own.
    struct Outcome* outcome = nullptr;
};

// What a run made: the package or message written (its size, for a message) and the
// key ids that signed it; or the key pair made, in files or at a URI, and its id.
struct Outcome {
    std::string output;
    size_t messageSize = 0;
    std::vector<std::string> keyIds;
    std::string privateKey;
    std::string publicKey;
    std::string uri;
};

// What a caller offers: pkgsign every option; fwkit sign all but -g, and fwkit keygen
// the token's options with the NAME or URI of the key pair as its operand.
enum class Offer { All, Signing, Keygen };

// Pieces of the help, in pkgsign's words: what signing does, its options, -g, and
// the options of a token.
extern const char kAbout[];
extern const char kSigningHelp[];
extern const char kGenerateHelp[];
extern const char kTokenHelp[];

// Reads the command line; 0 when read, -1 after --help or --version, 1 after a
// usage error.
int Parse(int argc, char** argv, const PackageCommand::Caller& caller, Offer offer,
          Options& options);

// Does what the options ask; the exit status.
int Run(const Options& options);

// The parts of Run that make a key pair (-g) and print a public key (--public).
int MakeKeys(const Options& options);
int PrintPublic(const Options& options);
// Prints a result line on standard output, unless quiet.
void Say(const Options& options, const std::string& line);

}  // namespace SignCommand
