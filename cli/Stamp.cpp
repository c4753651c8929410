// fwkit stamp: an image turned into an upgrade package, by the stamper pkgstamp uses.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CPackageHeader.h"
#include "CPackageStamper.h"
#include "Command.h"
#include "FilePath.h"
#include "Json.h"
#include "Progress.h"
#include "Subcommands.h"
#include "Text.h"

namespace Cli {

namespace {

const char kUsage[] =
    "Usage: fwkit stamp --version MAJOR.MINOR.BUILD [--filetype NAME] -o OUT IMAGE\n"
    "Turn the image IMAGE (- for standard input) into an upgrade package: a header of\n"
    "filesize, filetype, md5 and version lines, then the image byte for byte.\n"
    "\n"
    "  -v, --version=V     package version MAJOR.MINOR.BUILD (0-255, 0-255, 0-65535),\n"
    "                      not 0.0.0 (required)\n"
    "  -f, --filetype=NAME the filetype line (default dalm_upgrade)\n"
    "  -o, --output=OUT    package to write, - for standard output (required)\n"
    "  -j, --json          say what was written as one JSON document\n";
const char kStatus[] =
    "\n"
    "Exit status: 0 written, 1 otherwise (usage, a file that cannot be read or written).\n";

const std::vector<option> kLong = LongOptions({{"version", required_argument, nullptr, 'v'},
                        {"filetype", required_argument, nullptr, 'f'},
                        {"output", required_argument, nullptr, 'o'},
                        {"json", no_argument, nullptr, 'j'},
                        });

// A filetype is one header value, as the header reader takes it (printable
// ASCII, no blank), of at most 255 bytes.
bool Filetype(const std::string& text) {
    if (text.size() <= 255 && CPackageHeader::IsValue(text))
        return true;
    std::fprintf(stderr, "%s: --filetype: '%s' is not a name of 1 to 255 visible characters\n",
                 kProgram, Core::Text::Escaped(text).c_str());
    return false;
}

std::string Reason(PackageError error, const CPackageStamper& stamper) {
    switch (error) {
        case PackageError::NotRegular:
            return "not a regular file";
        case PackageError::TooLarge:
            return "would make a package of 4 GiB or more";
        case PackageError::SameFile:
            return "is the image itself";
        case PackageError::ReadFailed:
            return "cannot be read";
        case PackageError::Changed:
            return "changed while it was copied";
        case PackageError::OpenFailed:
            if (!stamper.Refusal().empty())
                return stamper.Refusal();
            break;
        default:
            break;
    }
    return std::strerror(stamper.Error() != 0 ? stamper.Error() : EIO);
}

}  // namespace

int Stamp(int argc, char** argv) {
    Common common;
    uint32_t version = 0;
    std::string filetype = "dalm_upgrade";
    std::string out;
    bool json = false;
    int c = 0;
    while ((c = NextOption(argc, argv, ":v:f:o:jqh", kLong.data())) != -1) {
        if (c == 'h') {
            std::printf("%s%s%s", kUsage, CommonHelp().c_str(), kStatus);
            return 0;
        }
        if (c == 'v' && !PackageVersion("--version", optarg, version))
            return 1;
        if (c == 'f' && !Filetype(filetype = optarg))
            return 1;
        if (c == 'o')
            out = optarg;
        json = json || c == 'j';
        if (c != 'v' && c != 'f' && c != 'o' && c != 'j' && !TakeCommon(c, common))
            return OptionError("stamp", c, argv);
    }
    if (version == 0)
        return UsageError("stamp", "--version is required (MAJOR.MINOR.BUILD)");
    if (out.empty())
        return UsageError("stamp", "--output is required");
    if (json && out == "-")
        return UsageError("stamp", "--json and --output - would both write standard output");
    if (argc - optind != 1)
        return UsageError("stamp", argc - optind == 0 ? "no image given"
                                                      : "one image only; '" +
                                                            std::string(argv[optind + 1]) +
                                                            "' is one too many");
    const std::string operand = argv[optind];
    Progress progress(common.progress, "stamp");
    const std::string image = InputPath(operand);
    if (image.empty())
        return 1;
    const std::string target = OutputPath(out);
    if (target.empty())
        return 1;
    const long long size = Core::File::FileSize(image);
    progress.SetTotal(static_cast<uint64_t>(size > 0 ? size : 0) * (out == "-" ? 2 : 1));
    CPackageStamper stamper(filetype, static_cast<int32_t>(version));
    const PackageError error = stamper.Stamp(image, target);
    if (error != PackageError::Ok)
        return Complain(stamper.Culprit() == PackageInput::Image ? operand : out,
                        Reason(error, stamper));
    if (json && !common.quiet)
        std::printf("%s", StampJson(out, stamper.HeaderText()).c_str());
    return 0;
}

}  // namespace Cli
