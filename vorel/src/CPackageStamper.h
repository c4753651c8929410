// Turns an image file into an upgrade package: a header block of filesize, filetype,
// md5 and version lines and an empty line, followed by the image byte for byte. The
// image is read in one pass into a file output (the header's place is reserved and
// filled in afterwards); into a stream it is read twice, and both readings must agree.
// A regular package file is replaced only once it is complete.
#pragma once

#include <cstdint>
#include <string>

#include "PackageError.h"

class CPackageStamper {
  public:
    // A package of `filetype` and the packed `version`.
    CPackageStamper(std::string filetype, int32_t version);

    // Writes the package of `image` to `output`. Ok, or of the image
    // (Culprit() Image): OpenFailed (Error() says why), NotRegular, TooLarge
    // (the package would reach 4 GiB), ReadFailed, Changed (while it was
    // copied); of the output (Culprit() Output): SameFile (it is the image),
    // OpenFailed (Error() or Refusal() says why), WriteFailed (Error() says
    // why, when known).
    PackageError Stamp(const std::string& image, const std::string& output);
    PackageInput Culprit() const { return m_culprit; }

    // The header block of the package written last: its filesize, filetype, md5 and
    // version lines and the empty line.
    const std::string& HeaderText() const { return m_headerText; }

    // The errno value behind the last failure; 0 when none is known.
    int Error() const { return m_error; }
    // Why the output was refused, in words; empty otherwise.
    const std::string& Refusal() const { return m_refusal; }

  private:
    std::string m_filetype;
    int32_t m_version;
    int m_error = 0;
    PackageInput m_culprit = PackageInput::None;
    std::string m_refusal;
    std::string m_headerText;
};
