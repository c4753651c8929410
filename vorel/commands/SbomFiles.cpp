#include "SbomFiles.h"

#include "CInputFile.h"
#include "CPackageAttachment.h"
#include "CSbomAttachment.h"
#include "KeyFiles.h"
#include "Messages.h"
#include "Text.h"

namespace SbomFiles {

const char kHelp[] =
    "      --sbom=FILE        carry the bill of materials FILE (CycloneDX 1.4 to 1.6 or\n"
    "                         SPDX 2.3 JSON), signed, as OUT.sbom beside the package\n"
    "      --sbom-out=FILE    write the bill of materials to FILE instead (needed with\n"
    "                         an output that is standard output)\n";

namespace {

// The document the header of `package` names, when it names one.
int Carried(const char* program, const std::string& package, Document& document) {
    CInputFile buffer(package);
    CPackageHeader header;
    if (header.Read(buffer) != PackageError::Ok || !CSbomAttachment::Named(header.Lines()))
        return 0;
    const std::string path = CPackageAttachment::Beside(package, CSbomAttachment::kKind);
    std::string problem;
    const PackageError error = CSbomAttachment::Load(header.Lines(), path, document.bytes, problem);
    if (error != PackageError::Ok)
        return Messages::Complain(program, path,
                                  error == PackageError::OpenFailed
                                      ? "cannot be opened" + problem.substr(path.size())
                                      : problem);
    document.present = true;
    CSbomDocument::Inspect(document.bytes, document.summary);
    return 0;
}

}  // namespace

int Prepare(const char* program, const std::string& file, const std::string& package,
            Document& document) {
    document = Document();
    if (file.empty())
        return Carried(program, package, document);
    std::string cause;
    const std::string tooLarge =
        "larger than " + std::to_string(CPackageAttachment::kMaxSbomSize >> 20) + " MiB";
    if (!KeyFiles::ReadBoundedFile(file, CPackageAttachment::kMaxSbomSize, tooLarge.c_str(),
                                   document.bytes, cause))
        return Messages::Complain(program, file, cause);
    cause = CSbomAttachment::Describe(document.bytes, document.lines, document.summary);
    if (!cause.empty())
        return Messages::Complain(program, file, "not a bill of materials fwkit carries: " + cause);
    document.present = document.given = true;
    return 0;
}

std::string Target(const std::string& output, const std::string& sbomOut) {
    if (!sbomOut.empty())
        return sbomOut;
    if (output == "-" || output == "/dev/stdout")
        return "";
    return CPackageAttachment::Beside(output, CSbomAttachment::kKind);
}

int Write(const char* program, const std::string& target, const Document& document,
          Core::File::Output& out) {
    if (!out.Open() || !out.Write(document.bytes.data(), document.bytes.size()))
        return Messages::Complain(program, target, out.Cause());
    return 0;
}

std::string Said(const std::string& target, const Document& document) {
    const CSbomDocument::Summary& summary = document.summary;
    return Core::Text::Escaped(target) + ": " + summary.format + " of " + summary.name +
           (summary.version.empty() ? "" : " " + summary.version) + ", " +
           std::to_string(summary.components) + " components\n";
}

}  // namespace SbomFiles
