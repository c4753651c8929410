// Firmware files written byte by byte in the tests, independently of the
// library: fragment headers with their CRC-16/ARC checksums, physical files and
// logical files. Names are stored raw, so tests can craft names the encoder
// would never produce.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace fragbytes {

using testutil::Bytes;

// CRC-16/ARC, bit by bit: reflected polynomial 0xA001, initial 0, no final XOR.
inline uint16_t Crc16(const Bytes& data) {
    uint16_t crc = 0;
    for (uint8_t byte : data) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = ((crc ^ byte) & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (low)
                crc ^= 0xA001;
            byte = static_cast<uint8_t>(byte >> 1);
        }
    }
    return crc;
}

// Little-endian value of `width` bytes at `pos`.
inline uint32_t Le(const Bytes& b, size_t pos, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | b.at(pos + static_cast<size_t>(i));
    return value;
}

struct Meta {
    uint32_t type = 400;
    uint32_t release = 0;
    uint32_t version = 0;
    uint32_t build = 1;
    uint32_t day = 1;
    uint32_t month = 1;
    uint32_t year = 2010;
};

struct Part {
    std::string name;
    Bytes body;
    Meta meta;
};

inline void Put(Bytes& b, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A fragment header as the writer lays it out, with a correct header CRC.
inline Bytes Header(const std::string& name, const Meta& m, uint32_t bodyLength, uint16_t bodyCrc,
                    uint32_t bodyOffset, const Bytes& extension = {}) {
    Bytes h;
    Put(h, static_cast<uint32_t>(40 + name.size() + extension.size()), 2);
    Put(h, m.type, 2);
    Put(h, m.release, 2);
    Put(h, m.version, 2);
    h.push_back(static_cast<uint8_t>(name.size()));
    h.insert(h.end(), name.begin(), name.end());
    Put(h, bodyLength, 4);
    Put(h, bodyCrc, 2);
    Put(h, bodyOffset, 4);
    Put(h, 0x0001, 4);  // fixed byte, reserved byte, header CRC placeholder
    Put(h, m.build, 4);
    Put(h, m.day, 1);
    Put(h, m.month, 1);
    Put(h, m.year, 2);
    h.insert(h.end(), 9, 0);
    h.insert(h.end(), extension.begin(), extension.end());
    const uint16_t crc = Crc16(h);
    h[21 + name.size()] = static_cast<uint8_t>(crc);
    h[22 + name.size()] = static_cast<uint8_t>(crc >> 8);
    return h;
}

inline Bytes Physical(const Part& p) {
    const uint32_t hl = static_cast<uint32_t>(40 + p.name.size());
    Bytes file = Header(p.name, p.meta, static_cast<uint32_t>(p.body.size()), Crc16(p.body), hl);
    file.insert(file.end(), p.body.begin(), p.body.end());
    return file;
}

// A logical file: logical header, the physical headers, then the bodies.
inline Bytes Logical(const std::string& name, const Meta& m, uint32_t articleNo, uint32_t noObjects,
                     const std::vector<Part>& parts) {
    const size_t hl = 46 + name.size();
    size_t offset = hl;
    for (const Part& p : parts)
        offset += 40 + p.name.size();
    Bytes body;
    Bytes bodies;
    for (const Part& p : parts) {
        const Bytes h = Header(p.name, p.meta, static_cast<uint32_t>(p.body.size()), Crc16(p.body),
                               static_cast<uint32_t>(offset));
        body.insert(body.end(), h.begin(), h.end());
        bodies.insert(bodies.end(), p.body.begin(), p.body.end());
        offset += p.body.size();
    }
    body.insert(body.end(), bodies.begin(), bodies.end());
    Bytes extension;
    Put(extension, articleNo, 4);
    Put(extension, noObjects, 2);
    Bytes file = Header(name, m, static_cast<uint32_t>(body.size()), Crc16(body),
                        static_cast<uint32_t>(hl), extension);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// Recomputes the body CRC and then the header CRC of the header at the start of
// `file` after the bytes behind it were changed.
inline void RepairFirstHeader(Bytes& file) {
    const size_t hl = Le(file, 0, 2);
    const size_t n = file[8];
    const uint16_t body = Crc16(Bytes(file.begin() + static_cast<long>(hl), file.end()));
    file[13 + n] = static_cast<uint8_t>(body);
    file[14 + n] = static_cast<uint8_t>(body >> 8);
    file[21 + n] = file[22 + n] = 0;
    const uint16_t header = Crc16(Bytes(file.begin(), file.begin() + static_cast<long>(hl)));
    file[21 + n] = static_cast<uint8_t>(header);
    file[22 + n] = static_cast<uint8_t>(header >> 8);
}

const char* const kSeparator = "---------------------------\n";

// The listing of one fragment as parsed, `encoded` being header plus body length.
inline std::string FragmentListing(const std::string& name, size_t encoded, size_t raw,
                                   const Meta& m) {
    std::ostringstream s;
    s << kSeparator << "Firmware File Name: " << name << "\nCRC Pass: 1\nEncoded Size: " << encoded
      << "\nRaw Data Size: " << raw << "\nType: " << m.type << "\nRelease: " << m.release
      << "\nVersion: " << m.version << "\nDay: " << m.day << "\nMonth: " << m.month
      << "\nYear: " << m.year << "\nBuild: " << m.build << "\n"
      << kSeparator;
    return s.str();
}

inline std::string PartListing(const Part& p) {
    return FragmentListing(p.name, 40 + p.name.size() + p.body.size(), p.body.size(), p.meta);
}

}  // namespace fragbytes
