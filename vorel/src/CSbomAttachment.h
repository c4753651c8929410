// The bill of materials of a package (CSbomDocument) as signed data beside it
// (CPackageAttachment, kind "sbom"): the header lines that name a document
// when it is signed, and the judgement of a document read back against them,
// kept in a check's result for its reports.
//
//   std::vector<CPackageHeader::Line> lines;
//   if (CSbomAttachment::Describe(document, lines, summary).empty()) ... sign ...
//   CSbomAttachment::Judge(result, &document);   // after the package was checked
#pragma once

#include <string>
#include <vector>

#include "CPackageHeader.h"
#include "CPackageStream.h"
#include "CSbomDocument.h"
#include "PackageError.h"

class CSbomAttachment {
  public:
    // The attachment's kind, and the suffix of its file beside the package.
    static constexpr const char* kKind = "sbom";

    // The lines naming `document` (sbom-size, sbom-sha256, sbom-format) in
    // `lines`, and what it is in `summary`; empty, or why the document is refused.
    static std::string Describe(const std::string& document,
                                std::vector<CPackageHeader::Line>& lines,
                                CSbomDocument::Summary& summary);
    // Whether these header lines name a document.
    static bool Named(const std::vector<CPackageHeader::Line>& headers);
    // Reads the document the header names from `path` into `document`: Ok, or
    // OpenFailed/ReadFailed, AttachmentMismatch or NotAPackage with `problem`.
    static PackageError Load(const std::vector<CPackageHeader::Line>& headers,
                             const std::string& path, std::string& document,
                             std::string& problem);
    // Judges `document` (null: not at hand) against the result's header lines
    // and records it in result.sbom. A document that differs from what the
    // header names makes the result AttachmentMismatch unless a check failed
    // before. A header that names none leaves the result as it was.
    static void Judge(CPackageStream::Result& result, const std::string* document);
};
