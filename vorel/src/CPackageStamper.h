// Turns an image file into an upgrade package: a header block of filesize, filetype,
// md5 and version lines and an empty line, followed by the image byte for byte. The
// image is read in one pass into a file output (the header's place is reserved and
// filled in afterwards); into a stream it is read twice, and both readings must agree.
// A regular package file is replaced only once it is complete.
#pragma once

#include <cstdint>
#include <string>

class CPackageStamper {
  public:
    enum class Outcome {
        Done,
        OpenFailed,    // the image cannot be opened (Error() says why)
        NotRegular,    // the image is not a regular file
        TooLarge,      // the package would reach 4 GiB
        SameFile,      // the output is the image itself
        OutputFailed,  // the output cannot be opened (Error() or Refusal() says why)
        ReadFailed,    // reading the image failed
        WriteFailed,   // writing the package failed (Error() says why, when known)
        ImageChanged,  // the image changed while it was copied
    };

    // A package of `filetype` and the packed `version`.
    CPackageStamper(std::string filetype, int32_t version);

    // Writes the package of `image` to `output`.
    Outcome Stamp(const std::string& image, const std::string& output);

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
    std::string m_refusal;
    std::string m_headerText;
};
