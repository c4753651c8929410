// The bill of materials a package command writes beside the package it makes:
// the document given (--sbom FILE), checked and named in the new header, or
// the one the input's header names already, carried along from beside the
// input. Shared by signing and by fwkit delta.
#pragma once

#include <string>
#include <vector>

#include "CPackageHeader.h"
#include "CSbomDocument.h"
#include "Output.h"

namespace SbomFiles {

// The help line of --sbom and --sbom-out, for signing and delta alike.
extern const char kHelp[];

struct Document {
    bool present = false;  // given, or named by the input's header
    bool given = false;    // given with --sbom: its lines are to be set
    std::string bytes;
    std::vector<CPackageHeader::Line> lines;  // sbom-size, sbom-sha256, sbom-format
    CSbomDocument::Summary summary;
};

// Reads the document `file` names (--sbom), or, when `file` is empty, the one
// the header of `package` names, from beside it. 0, or 1 after the message
// "PROGRAM: FILE: reason".
int Prepare(const char* program, const std::string& file, const std::string& package,
            Document& document);

// Where a document goes with the package written to `output`: `sbomOut`
// (--sbom-out) when given, else beside the output. Empty when the output is
// standard output and no --sbom-out is given.
std::string Target(const std::string& output, const std::string& sbomOut);

// Writes the document into the open output for it; the caller commits it once
// the package is in place. 0, or 1 after the message.
int Write(const char* program, const std::string& target, const Document& document,
          Core::File::Output& out);

// The line that says what was attached: "TARGET: FORMAT of NAME VERSION, N components".
std::string Said(const std::string& target, const Document& document);

}  // namespace SbomFiles
