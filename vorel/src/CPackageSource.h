// Where a package's bytes come from when they are read by position rather than
// as one stream: a file, or a server answering range requests. The installer
// reads the header first, then the attachments it names (the chunk index, the
// bill of materials), then only the chunks of the image it does not already
// hold. Reading never buffers more than the caller asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "PackageError.h"

class CPackageSource {
  public:
    // Gets the bytes read, in order, in pieces of any size; false stops the read
    // with WriteFailed.
    using Sink = std::function<bool(const uint8_t* data, size_t size)>;

    virtual ~CPackageSource() = default;

    // The package's name in messages: its path or URL.
    virtual const std::string& Name() const = 0;
    // The package's length in bytes, once known (0 before the first read).
    virtual uint64_t Size() const = 0;
    // Hands `size` bytes from `offset` on to `sink`. Ok, or CutShort when the
    // package ends first, Changed when it changed since the first read,
    // ReadFailed (or OpenFailed) otherwise; Problem() says why.
    virtual PackageError Read(uint64_t offset, uint64_t size, const Sink& sink) = 0;
    // Reads the attachment of this kind kept beside the package
    // (CPackageAttachment::Beside), at most `maxSize` bytes, into `data`.
    // OpenFailed when there is none.
    virtual PackageError ReadAttachment(const std::string& kind, uint64_t maxSize,
                                        std::string& data) = 0;
    virtual const std::string& Problem() const = 0;
};
