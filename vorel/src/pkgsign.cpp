// pkgsign: signs an upgrade package, or makes a key pair to sign with.
//
//   pkgsign -k KEY.pem [-o OUT] PACKAGE
//   pkgsign -g NAME
//
// A package is checked before it is signed (header, filesize, md5) and written
// again with fresh "sha256" and "signature" header lines; its image is read
// once, digested and copied in the same pass.
#include <getopt.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageHeader.h"
#include "Output.h"
#include "PackageTool.h"
#include "Stdout.h"
#include "Text.h"

namespace {

const char kProgram[] = "pkgsign";

struct Options {
    std::string key;
    std::string output;
    std::string generate;
    std::string package;
};

void PrintUsage() {
    std::printf(
        "Usage: pkgsign -k KEY.pem [-o OUT] PACKAGE\n"
        "       pkgsign -g NAME\n"
        "Sign an upgrade package with an Ed25519 key: add a sha256 line for its image and a\n"
        "signature line over its header, replacing any earlier ones.\n"
        "\n"
        "  -k, --key=KEY.pem      the private key to sign with (PKCS#8 PEM)\n"
        "  -o, --output=OUT       write the signed package to OUT (default: over PACKAGE)\n"
        "  -g, --generate=NAME    make a key pair NAME.pem (private, mode 0600) and NAME.pub\n"
        "                         and print the key id\n"
        "  -h, --help             print this help and exit\n"
        "  -V, --version          print the version and exit\n"
        "\n"
        "Exit status: 0 signed (or key made), 1 usage or a file that cannot be read or\n"
        "written, 2 not a package, 3 the image does not match its header.\n");
}

// 0 when the options were read, -1 for --help/--version (done), 1 for a usage error.
int ParseOptions(int argc, char** argv, Options& options) {
    const option kLong[] = {
        {"key", required_argument, nullptr, 'k'},      {"output", required_argument, nullptr, 'o'},
        {"generate", required_argument, nullptr, 'g'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},        {nullptr, 0, nullptr, 0}};
    int c = 0;
    opterr = 0;
    while ((c = getopt_long(argc, argv, ":k:o:g:hV", kLong, nullptr)) != -1) {
        switch (c) {
            case 'k':
                options.key = optarg;
                break;
            case 'o':
                options.output = optarg;
                break;
            case 'g':
                options.generate = optarg;
                break;
            case 'h':
                PrintUsage();
                return -1;
            case 'V':
                std::printf("pkgsign (fwkit) %s\n", PackageTool::kVersion);
                return -1;
            default:
                return PackageTool::OptionError(kProgram, c, argv);
        }
    }
    const int operands = argc - optind;
    if (!options.generate.empty()) {
        if (operands != 0 || !options.key.empty() || !options.output.empty())
            return PackageTool::UsageError(kProgram, "-g takes no other option or operand");
        return 0;
    }
    if (options.key.empty())
        return PackageTool::UsageError(kProgram, "no key given (-k KEY.pem)");
    if (operands != 1)
        return PackageTool::UsageError(kProgram, "give exactly one PACKAGE");
    options.package = argv[optind];
    return 0;
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
        cause = secret && output.Error() == EEXIST ? kKeyExists : PackageTool::OutputCause(output);
    return ok;
}

int Generate(const std::string& name) {
    const std::string pem = name + ".pem";
    const std::string pub = name + ".pub";
    struct stat st {};
    if (lstat(pem.c_str(), &st) == 0)
        return PackageTool::Complain(kProgram, pem, kKeyExists);
    const CEd25519Key key = CEd25519Key::Generate();
    if (!key.Valid())
        return PackageTool::Complain(kProgram, pem, "cannot make a key");
    std::string cause;
    if (!WriteKeyFile(pem, key.PrivatePem(), true, cause))
        return PackageTool::Complain(kProgram, pem, cause);
    if (!WriteKeyFile(pub, key.PublicPem(), false, cause))
        return PackageTool::Complain(kProgram, pub, cause);
    std::printf("%s\n", key.KeyId().c_str());
    return 0;
}

// Exit status and message for a package that may not be signed; 0 when it may.
int Refusal(const std::string& package, const CPackageCheck::Result& result) {
    switch (result.error) {
        case PackageError::Ok:
        case PackageError::BadSignature:  // replaced by the new signature
        case PackageError::Unsigned:
            return 0;
        case PackageError::NotAPackage:
            PackageTool::Complain(kProgram, package, "not a package: " + result.problem);
            return 2;
        case PackageError::ImageMismatch:
            for (const CPackageCheck::Item& item : result.checks) {
                if (!item.ok)
                    PackageTool::Complain(kProgram, package,
                                          item.name + " does not match the image: stored " +
                                              item.stored + ", computed " + item.computed);
            }
            return 3;
        case PackageError::TooLarge:
        case PackageError::ReadFailed:
        case PackageError::WriteFailed:
            break;
    }
    return PackageTool::Complain(kProgram, package, PackageErrorText(result.error));
}

// Runs the check over the package, sending the image to `output` when given.
// 0, or the status of the failure after its message.
int CheckPackage(CInputFile& buffer, const Options& options, Core::File::Output* output,
                 CPackageCheck::Result& result) {
    CPackageCheck check;
    if (output != nullptr)
        check.SetImageSink(
            [output](const uint8_t* data, size_t size) { return output->Write(data, size); });
    result = check.Run(buffer);
    if (buffer.Changed() || !buffer.EndsAtSize())
        return PackageTool::Complain(kProgram, options.package, "changed while it was read");
    if (result.error == PackageError::WriteFailed)
        return PackageTool::Complain(kProgram, options.output, PackageTool::OutputCause(*output));
    return Refusal(options.package, result);
}

// Writes the signed package into the open output. A seekable output gets the
// image behind a reserved header, filled in once the image's SHA-256 is known;
// a stream gets the header after a first pass and the image in a second one,
// which must digest the same.
int WriteSigned(CInputFile& buffer, const Options& options, const CEd25519Key& key,
                Core::File::Output& output) {
    CPackageHeader header;
    CPackageCheck::Result first;
    first.error = header.Read(buffer);
    first.problem = header.Problem();
    if (first.error != PackageError::Ok)
        return Refusal(options.package, first);
    const size_t reserved = header.SignedSize();
    if (reserved > CPackageHeader::kMaxSize) {
        first.error = PackageError::NotAPackage;
        first.problem = "the signed header would be longer than " +
                        std::to_string(CPackageHeader::kMaxSize) + " bytes";
        return Refusal(options.package, first);
    }
    if (reserved + (buffer.FileSize() - header.Size()) > CPackageHeader::kMaxPackageSize)
        return PackageTool::Complain(kProgram, options.package,
                                     "the signed package would be 4 GiB or more");
    int status = 0;
    if (output.Seekable()) {
        if (!output.Write(std::string(reserved, '\n').data(), reserved))
            return PackageTool::Complain(kProgram, options.output,
                                         PackageTool::OutputCause(output));
        status = CheckPackage(buffer, options, &output, first);
    } else {
        status = CheckPackage(buffer, options, nullptr, first);
    }
    if (status != 0)
        return status;
    if (first.headers != header.Lines())
        return PackageTool::Complain(kProgram, options.package, "changed while it was read");
    const std::string text = header.Sign(key, first.sha256);
    if (text.size() != reserved)
        return PackageTool::Complain(kProgram, options.key, "cannot sign with this key");
    if (output.Seekable()) {
        if (!output.WriteAt(text.data(), text.size(), 0))
            return PackageTool::Complain(kProgram, options.output,
                                         PackageTool::OutputCause(output));
        return 0;
    }
    if (!output.Write(text.data(), text.size()))
        return PackageTool::Complain(kProgram, options.output, PackageTool::OutputCause(output));
    CPackageCheck check;
    const PackageTool::StreamOutcome streamed =
        PackageTool::StreamVerified(check, buffer, output, first);
    if (streamed == PackageTool::StreamOutcome::WriteFailed)
        return PackageTool::Complain(kProgram, options.output, PackageTool::OutputCause(output));
    if (streamed == PackageTool::StreamOutcome::Changed || buffer.Changed() || !buffer.EndsAtSize())
        return PackageTool::Complain(kProgram, options.package, "changed while it was read");
    return 0;
}

int Sign(Options options) {
    CEd25519Key key;
    std::string cause;
    if (!PackageTool::LoadKey(options.key, true, key, cause))
        return PackageTool::Complain(kProgram, options.key, cause);
    if (!PackageTool::CheckPackageFile(options.package, cause))
        return PackageTool::Complain(kProgram, options.package, cause);
    if (options.output.empty())
        options.output = options.package;
    CInputFile buffer(options.package);
    const std::string shown = options.output;
    Core::File::Output output(Core::SeparateFromMessages(options.output));
    output.Protect(options.key, "the key");
    if (!output.Open())
        return PackageTool::Complain(kProgram, shown, PackageTool::OutputCause(output));
    const int status = WriteSigned(buffer, options, key, output);
    if (status != 0) {
        output.Commit(false);
        return status;
    }
    if (!output.Commit(true))
        return PackageTool::Complain(kProgram, shown, PackageTool::OutputCause(output));
    std::printf("%s: signed with key %s\n", Core::Text::Escaped(shown).c_str(),
                key.KeyId().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, options);
    int status = parsed;
    if (parsed == 0)
        status = options.generate.empty() ? Sign(options) : Generate(options.generate);
    return Core::CloseStdout(kProgram, parsed < 0 ? 0 : status);
}
