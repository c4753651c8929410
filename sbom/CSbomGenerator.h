// Writes the bill of materials of a Debian-based system image: a CycloneDX 1.5
// JSON document listing the packages dpkg installed in it (name, version,
// architecture, purl, source package, and the licence a machine-readable
// copyright file names), sorted by name, optionally with the SHA-256 of each
// package's files. The same image gives the same bytes: the serial number is
// derived from the document's own content, and the timestamp is given by the
// caller (from SOURCE_DATE_EPOCH) or left out.
//
//   CExt2Tree tree;
//   CSbomGenerator generator(settings);
//   if (tree.Open("rootfs.ext4") && generator.Generate(tree, document)) ...
#pragma once

#include <cstdint>
#include <string>

#include "CDpkgStatus.h"
#include "CImageTree.h"

class CSbomGenerator {
  public:
    struct Settings {
        bool hashes = false;   // the SHA-256 of every package's files (var/lib/dpkg/info/*.list)
        bool hasTime = false;  // a timestamp, at `time` (seconds since 1970)
        int64_t time = 0;
        std::string name;         // the subject; default: the image's os-release NAME
        std::string version;      // default: its VERSION_ID
        std::string toolVersion;  // fwkit's, in metadata.tools
    };

    explicit CSbomGenerator(Settings settings) : m_settings(std::move(settings)) {}

    // The document for the image `tree`; false with Problem() when the image
    // has no dpkg status file that can be read.
    bool Generate(CImageTree& tree, std::string& document);
    const std::string& Problem() const { return m_problem; }

    // The package URL of a Debian package: pkg:deb/debian/NAME@VERSION?arch=ARCH,
    // its version percent-encoded.
    static std::string Purl(const CDpkgStatus::Package& package);

  private:
    std::string m_problem;
    Settings m_settings;
};
