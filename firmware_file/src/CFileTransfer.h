// Bulk passes over fragment bodies that lie in files: the body CRC read straight from the
// page cache through a read-only mapping, and body copies written from one. Like CFileBuffer,
// every call opens, maps, uses and closes what it needs before it returns: no descriptor or
// mapping outlives a call, and each call sees the files as they are on disk at that moment.
//
// Each operation returns false, having changed nothing, when it cannot work on the files it
// is given (a missing or non-regular file, no bytes at the position asked for, a file system
// without mappings, source and target being one file); the caller then moves the bytes
// through the CBuffer interface instead.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CFileTransfer {
  public:
    // Advances `crc` over up to `count` bytes from `index` of the file `path`; `count`
    // becomes the number of bytes read (fewer near the end of the file).
    static bool Crc(const std::string& path, uint32_t index, uint32_t& count, uint16_t& crc);

    // Appends up to `count` bytes from `index` of `source` to the end of `target`; `moved`
    // becomes the number of bytes appended.
    static bool Append(const std::string& source, uint32_t index, uint32_t count,
                       const std::string& target, uint32_t& moved);

    // Appends a header and then up to `count` body bytes from `index` of `source` to the end
    // of `target`, reading the body once: `makeHeader` receives the CRC of the body bytes
    // read and returns the header, which must be `headerSize` bytes long. The header's place
    // is reserved first and filled last, so the file ends up exactly as if the header had
    // been appended before the body. `written` becomes the number of bytes appended, the
    // header counting only once it is in place.
    static bool AppendWithHeader(const std::string& source, uint32_t index, uint32_t count,
                                 const std::string& target, uint32_t headerSize,
                                 const std::function<std::vector<uint8_t>(uint16_t)>& makeHeader,
                                 uint32_t& written);
};
