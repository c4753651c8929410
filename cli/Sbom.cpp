// fwkit sbom: the bill of materials a package carries, verified against the
// package's header (its signatures, with the keys given) and extracted; or,
// with --generate, the bill of materials of a system image made from what
// dpkg installed in it.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CDirectoryTree.h"
#include "CExt2Tree.h"
#include "CInputFile.h"
#include "CPackageAttachment.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "CPackageTrust.h"
#include "CSbomAttachment.h"
#include "CSbomGenerator.h"
#include "Command.h"
#include "KeyFiles.h"
#include "Output.h"
#include "Subcommands.h"

namespace Cli {

namespace {

const char kUsage[] =
    "Usage: fwkit sbom [-k PUBLIC.pem]... [--keyring FILE]... [-o FILE] PACKAGE\n"
    "       fwkit sbom --generate [--hashes] [--name NAME] [--subject-version VERSION]\n"
    "                  [-o FILE] IMAGE|DIRECTORY\n"
    "Write the bill of materials PACKAGE carries (PACKAGE.sbom), once its header has\n"
    "passed (its signatures verified with the keys given, as by fwkit check) and the\n"
    "document is the one the header names. With --generate, write a CycloneDX 1.5\n"
    "document of the Debian packages installed in a system image (an ext2/3/4 image,\n"
    "read without mounting it, or a directory), sorted by name; the same image gives\n"
    "the same bytes, with a timestamp only when SOURCE_DATE_EPOCH is set.\n"
    "\n"
    "  -k, --key=PUBLIC.pem   a public key the signature may be made with (repeatable)\n"
    "      --keyring=FILE     a file of public keys, one PEM block each (repeatable)\n"
    "  -o, --output=FILE      write the document to FILE (default: standard output)\n"
    "  -g, --generate         make the document of IMAGE or DIRECTORY\n"
    "      --hashes           with --generate: the SHA-256 of every package's files\n"
    "      --name=NAME        with --generate: the subject's name (default: the image's\n"
    "                         os-release NAME)\n"
    "      --subject-version=VERSION  the subject's version (default: its VERSION_ID)\n";
const char kStatus[] =
    "\n"
    "Exit status: 0 written; 1 usage, a file that cannot be read or written, a package\n"
    "that carries no bill of materials or whose PACKAGE.sbom is missing, an image without\n"
    "a dpkg status file; 2 not a package; 4 the signature fails, or the document is not\n"
    "the one the header names; 5 keys were given and the package is not signed.\n";

enum LongOnly { kKeyring = 256, kHashes, kName, kSubjectVersion };

const std::vector<option> kLong = LongOptions({{"key", required_argument, nullptr, 'k'},
                                               {"keyring", required_argument, nullptr, kKeyring},
                                               {"output", required_argument, nullptr, 'o'},
                                               {"generate", no_argument, nullptr, 'g'},
                                               {"hashes", no_argument, nullptr, kHashes},
                                               {"name", required_argument, nullptr, kName},
                                               {"subject-version", required_argument, nullptr,
                                                kSubjectVersion}});

struct Options {
    std::vector<std::string> keys;
    std::vector<std::string> keyrings;
    std::string output = "-";
    bool generate = false;
    CSbomGenerator::Settings settings;
    std::string operand;
};

bool Take(int c, Options& options) {
    switch (c) {
        case 'k':
            options.keys.emplace_back(optarg);
            return true;
        case kKeyring:
            options.keyrings.emplace_back(optarg);
            return true;
        case 'o':
            options.output = optarg;
            return true;
        case 'g':
            options.generate = true;
            return true;
        case kHashes:
            options.settings.hashes = true;
            return true;
        case kName:
            options.settings.name = optarg;
            return true;
        case kSubjectVersion:
            options.settings.version = optarg;
            return true;
        default:
            return false;
    }
}

// Writes the document to the output: standard output, or a file put in place whole.
int Emit(const Options& options, const std::string& document) {
    if (options.output == "-") {
        std::fwrite(document.data(), 1, document.size(), stdout);
        return 0;
    }
    Core::File::Output output(options.output);
    output.Protect(options.operand, "the input");
    if (!output.Open() || !output.Write(document.data(), document.size()) || !output.Commit(true)) {
        output.Commit(false);
        return Complain(options.output, output.Cause());
    }
    return 0;
}

// The keys of -k and --keyring in the trust; 0, or 1 after a message.
int LoadKeys(const Options& options, CPackageTrust& trust) {
    std::string cause;
    for (const std::string& path : options.keys) {
        CEd25519Key key;
        if (!KeyFiles::LoadKey(path, false, key, cause))
            return Complain(path, cause);
        trust.AddKey(key);
    }
    for (const std::string& path : options.keyrings) {
        std::vector<CEd25519Key> ring;
        if (!KeyFiles::LoadKeyring(path, ring, cause))
            return Complain(path, cause);
        for (const CEd25519Key& key : ring)
            trust.AddKey(key);
    }
    return 0;
}

int Extract(const Options& options) {
    CPackageTrust trust;
    if (const int status = LoadKeys(options, trust))
        return status;
    trust.SkipPolicy();  // the document is read, the package not installed
    const std::string cause = CPackageCheck::FileProblem(options.operand);
    if (!cause.empty())
        return Complain(options.operand, cause);
    CInputFile buffer(options.operand);
    CPackageHeader header;
    const PackageError read = header.Read(buffer);
    if (read != PackageError::Ok) {
        Complain(options.operand, read == PackageError::NotAPackage
                                      ? std::string(PackageErrorText(read)) + ": " + header.Problem()
                                      : PackageErrorText(read));
        return PackageErrorStatus(read);
    }
    const CPackageTrust::Verdict verdict = trust.Judge(header);
    if (verdict.error != PackageError::Ok) {
        Complain(options.operand, PackageErrorText(verdict.error));
        return PackageErrorStatus(verdict.error);
    }
    if (!CSbomAttachment::Named(header.Lines()))
        return Complain(options.operand, "carries no bill of materials");
    const std::string path = CPackageAttachment::Beside(options.operand, CSbomAttachment::kKind);
    std::string document;
    std::string problem;
    const PackageError loaded = CSbomAttachment::Load(header.Lines(), path, document, problem);
    if (loaded == PackageError::OpenFailed)
        return Complain(path, "cannot be opened" + problem.substr(path.size()));
    if (loaded != PackageError::Ok) {
        Complain(path, problem);
        return PackageErrorStatus(loaded);
    }
    return Emit(options, document);
}

int Generate(Options options) {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch != nullptr && *epoch != '\0') {
        uint64_t seconds = 0;
        const std::string problem = Core::Parse::Unsigned(epoch, INT64_MAX, seconds);
        if (!problem.empty())
            return Complain("SOURCE_DATE_EPOCH", problem);
        options.settings.hasTime = true;
        options.settings.time = static_cast<int64_t>(seconds);
    }
    options.settings.toolVersion = FWKIT_VERSION;
    CExt2Tree::LoadMessages();
    struct stat st {};
    CExt2Tree image;
    CDirectoryTree directory;
    const bool isDirectory = stat(options.operand.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    CImageTree& tree = isDirectory ? static_cast<CImageTree&>(directory) : image;
    if (!(isDirectory ? directory.Open(options.operand) : image.Open(options.operand)))
        return Complain(options.operand, tree.Problem());
    CSbomGenerator generator(options.settings);
    std::string document;
    if (!generator.Generate(tree, document))
        return Complain(options.operand, generator.Problem());
    return Emit(options, document);
}

}  // namespace

int Sbom(int argc, char** argv) {
    Common common;
    Options options;
    int c = 0;
    while ((c = NextOption(argc, argv, ":k:o:gqh", kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s", kUsage, CommonHelp(25).c_str(), kStatus);
            return 0;
        }
        if (c == ':' || c == '?')
            return OptionError("sbom", c, argv);
        if (!TakeCommon(c, common) && !Take(c, options))
            return 1;
    }
    if (argc - optind != 1)
        return UsageError("sbom", argc - optind == 0 ? "give one PACKAGE, or one IMAGE with --generate"
                                                     : "one operand only");
    options.operand = argv[optind];
    const bool generating = options.settings.hashes || !options.settings.name.empty() ||
                            !options.settings.version.empty();
    if (!options.generate && generating)
        return UsageError("sbom", "--hashes, --name and --subject-version go with --generate");
    if (options.generate && (!options.keys.empty() || !options.keyrings.empty()))
        return UsageError("sbom", "--generate checks no signature");
    return options.generate ? Generate(options) : Extract(options);
}

}  // namespace Cli
