#include "CSbomAttachment.h"

#include "CPackageAttachment.h"

namespace {

CPackageAttachment Attachment() {
    return CPackageAttachment(CSbomAttachment::kKind, CPackageAttachment::kMaxSbomSize);
}

CPackageHeader HeaderOf(const std::vector<CPackageHeader::Line>& headers) {
    CPackageHeader header;
    for (const CPackageHeader::Line& line : headers)
        header.SetLine(line.first, line.second);
    return header;
}

const std::string* Find(const std::vector<CPackageHeader::Line>& headers, const std::string& name) {
    for (const CPackageHeader::Line& line : headers)
        if (line.first == name)
            return &line.second;
    return nullptr;
}

}  // namespace

std::string CSbomAttachment::Describe(const std::string& document,
                                      std::vector<CPackageHeader::Line>& lines,
                                      CSbomDocument::Summary& summary) {
    if (document.size() > CPackageAttachment::kMaxSbomSize)
        return "larger than " + std::to_string(CPackageAttachment::kMaxSbomSize >> 20) + " MiB";
    const std::string refusal = CSbomDocument::Inspect(document, summary);
    if (!refusal.empty())
        return refusal;
    lines = Attachment().Describe(document);
    lines.emplace_back(CSbomDocument::kFormatLine, summary.format);
    return "";
}

bool CSbomAttachment::Named(const std::vector<CPackageHeader::Line>& headers) {
    return Attachment().Named(HeaderOf(headers));
}

PackageError CSbomAttachment::Load(const std::vector<CPackageHeader::Line>& headers,
                                   const std::string& path, std::string& document,
                                   std::string& problem) {
    CPackageAttachment attachment = Attachment();
    const PackageError error = attachment.Load(HeaderOf(headers), path, document);
    problem = attachment.Problem();
    return error;
}

void CSbomAttachment::Judge(CPackageStream::Result& result, const std::string* document) {
    CPackageStream::Result::Sbom& sbom = result.sbom;
    sbom = CPackageStream::Result::Sbom();
    if (result.error == PackageError::NotAPackage || !Named(result.headers))
        return;
    sbom.named = true;
    const std::string* format = Find(result.headers, CSbomDocument::kFormatLine);
    sbom.summary.format = format != nullptr ? *format : "";
    if (document == nullptr)
        return;
    CPackageAttachment attachment = Attachment();
    const PackageError error = attachment.Check(HeaderOf(result.headers), *document);
    if (error != PackageError::Ok) {
        sbom.problem = attachment.Problem();
        if (result.error == PackageError::Ok) {
            result.error = error;
            result.problem = sbom.problem;
        }
        return;
    }
    sbom.checked = true;
    CSbomDocument::Summary summary;
    if (CSbomDocument::Inspect(*document, summary).empty())
        sbom.summary = summary;
}
