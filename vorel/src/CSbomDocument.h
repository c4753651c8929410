// A software bill of materials as a package carries it beside its image: a
// CycloneDX (1.4, 1.5, 1.6) or SPDX (2.3) JSON document. Inspect judges the
// bytes before they are attached or after they are read back: well-formed
// JSON, a format and version it knows, and a subject (the thing the document
// describes: CycloneDX's metadata.component, SPDX's described package or,
// lacking one, the document's name). The bytes themselves are never changed.
//
//   CSbomDocument::Summary summary;
//   const std::string refusal = CSbomDocument::Inspect(bytes, summary);
//   if (refusal.empty()) ... summary.format is "cyclonedx-1.5" ...
#pragma once

#include <cstdint>
#include <string>

class CSbomDocument {
  public:
    // What the document is and describes.
    struct Summary {
        std::string format;   // "cyclonedx-1.5", "spdx-2.3": the value of sbom-format
        std::string name;     // of the subject
        std::string version;  // of the subject; empty when the document gives none
        uint64_t components = 0;  // CycloneDX components, SPDX packages but the subject
    };

    // The header line that names the document's format.
    static constexpr const char* kFormatLine = "sbom-format";

    // Empty when `bytes` is a document of a known format, with `summary` filled
    // in; otherwise why not, in words.
    static std::string Inspect(const std::string& bytes, Summary& summary);
};
