#include "CFileBuffer.h"

#include <sys/types.h>

#include <cstdio>
#include <utility>

namespace {

// Opens `name` for reading and positions it at `index`; null on failure.
// Positions and sizes go through off_t (fseeko, ftello), which is 64 bits wide
// on every host: a long cannot hold every size of a firmware file where it is
// 32 bits wide.
FILE* OpenAt(const std::string& name, uint32_t index) {
    FILE* fp = std::fopen(name.c_str(), "rb");
    if (fp == nullptr)
        return nullptr;
    if (fseeko(fp, static_cast<off_t>(index), SEEK_SET) != 0) {
        std::fclose(fp);
        return nullptr;
    }
    return fp;
}

}  // namespace

CFileBuffer::CFileBuffer(std::string name) : m_name(std::move(name)) {}

uint8_t CFileBuffer::At(uint32_t index) {
    uint8_t byte = 0;
    if (Copy(index, 1, &byte) != 1)
        return 0;
    return byte;
}

uint32_t CFileBuffer::Size() {
    FILE* fp = std::fopen(m_name.c_str(), "rb");
    if (fp == nullptr)
        return 0;
    off_t size = 0;
    if (fseeko(fp, 0, SEEK_END) == 0)
        size = ftello(fp);
    std::fclose(fp);
    return size < 0 ? 0 : static_cast<uint32_t>(size);
}

uint32_t CFileBuffer::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    if (count == 0)
        return 0;
    FILE* fp = OpenAt(m_name, index);
    if (fp == nullptr)
        return 0;
    const size_t got = std::fread(buff, 1, count, fp);
    std::fclose(fp);
    return static_cast<uint32_t>(got);
}

uint32_t CFileBuffer::Write(uint8_t* data, uint32_t size) {
    FILE* fp = std::fopen(m_name.c_str(), "ab");
    if (fp == nullptr)
        return 0;
    const size_t written = size == 0 ? 0 : std::fwrite(data, 1, size, fp);
    const bool flushed = std::fflush(fp) == 0;
    const bool closed = std::fclose(fp) == 0;
    if (!flushed || !closed)
        return 0;
    return static_cast<uint32_t>(written);
}

void CFileBuffer::Clear() {
    FILE* fp = std::fopen(m_name.c_str(), "wb");
    if (fp != nullptr)
        std::fclose(fp);
}
