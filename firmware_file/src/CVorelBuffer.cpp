#include "CVorelBuffer.h"

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <utility>

namespace {

// Decode reads the underlying buffer in chunks of this many bytes.
constexpr uint32_t kChunkSize = 4096;

}  // namespace

CVorelBuffer::CVorelBuffer(CBuffer* buff)
    : m_buff(buff),
      m_headerCache("\n\n"),
      m_rawDataOffset(0),
      m_rawDataSize(buff->Size()),
      m_headerOffset(0) {}

CVorelBuffer::CVorelBuffer(CBuffer* buff, uint32_t offset)
    : m_buff(buff),
      m_headerCache("\n\n"),
      m_rawDataOffset(0),
      m_rawDataSize(0),
      m_headerOffset(offset) {}

bool CVorelBuffer::Decode() {
    Parser parser;
    const Step step = parseHeader(parser);
    // Header lines go straight into the set; the text is rebuilt once for all
    // of them, so that a header of many lines costs no more than its length.
    if (parser.stored)
        rebuildHeaderCache();
    return step == END && readFileSize();
}

CVorelBuffer::Step CVorelBuffer::parseHeader(Parser& parser) {
    const uint32_t size = m_buff->Size();
    // The header must end inside the buffer: bytes past its end read as 0 and
    // would otherwise be taken into a name without end.
    const uint32_t end =
        m_headerOffset < size ? std::min(size - m_headerOffset, kMaxHeaderSize) : 0;
    uint32_t count = 0;
    uint8_t chunk[kChunkSize];
    while (count < end) {
        const uint32_t pos = m_headerOffset + count;
        const uint32_t got = m_buff->Copy(pos, std::min(kChunkSize, end - count), chunk);
        if (got == 0)
            return FAIL;
        for (uint32_t i = 0; i < got; ++i) {
            const Step step = parseByte(parser, chunk[i]);
            ++count;
            if (step == FAIL)
                return FAIL;
            if (step == END) {
                m_rawDataOffset = m_headerOffset + count;
                return END;
            }
        }
    }
    return FAIL;
}

CVorelBuffer::Step CVorelBuffer::parseByte(Parser& parser, uint8_t current) {
    const uint8_t last = parser.last;
    parser.last = current;
    switch (parser.state) {
        case SPACE:
            parser.val.clear();
            parser.state = VAL;
            return parseValueByte(parser, current);
        case VAL:
            return parseValueByte(parser, current);
        case COLON:
            if (current == ' ') {
                parser.state = SPACE;
                return NEXT;
            }
            std::printf("Error in vorel header\n");
            return FAIL;
        case VAR:
            break;
    }
    return parseNameByte(parser, current, last);
}

CVorelBuffer::Step CVorelBuffer::parseNameByte(Parser& parser, uint8_t current, uint8_t last) {
    if (current == ':') {
        if (parser.var.empty()) {
            std::printf("Value without variable name in vorel header\n");
            return FAIL;
        }
        parser.state = COLON;
        return NEXT;
    }
    if (current == '\n') {
        if (last == '\n')
            return END;
        // A line without a colon runs into the next line's name.
        if (!parser.var.empty())
            parser.var += '\n';
        return NEXT;
    }
    parser.var += static_cast<char>(current);
    return NEXT;
}

CVorelBuffer::Step CVorelBuffer::parseValueByte(Parser& parser, uint8_t current) {
    if (current == '\n') {
        m_header[parser.var] = parser.val;
        parser.stored = true;
        parser.var.clear();
        parser.state = VAR;
    } else {
        parser.val += static_cast<char>(current);
    }
    return NEXT;
}

// Reads "filesize" as a stream reads an unsigned number (leading whitespace,
// optional sign, digits up to the first other byte); it must fit 32 bits.
bool CVorelBuffer::readFileSize() {
    std::istringstream in(GetHeader("filesize"));
    unsigned long long size = 0;
    if (!(in >> size) || size > UINT32_MAX) {
        m_rawDataSize = 0;
        return false;
    }
    m_rawDataSize = static_cast<uint32_t>(size);
    return true;
}

std::string CVorelBuffer::GetHeader(std::string val) {
    return m_header[std::move(val)];
}

void CVorelBuffer::SetHeader(std::string var, std::string val) {
    m_header[std::move(var)] = std::move(val);
    rebuildHeaderCache();
}

void CVorelBuffer::SetHeader(std::string var, uint32_t val) {
    std::ostringstream text;
    text << val;
    SetHeader(std::move(var), text.str());
}

// One "name: value" line per header in name order, then the empty line.
void CVorelBuffer::rebuildHeaderCache() {
    std::string text;
    for (const auto& [name, value] : m_header)
        text += name + ": " + value + "\n";
    m_headerCache = text + "\n";
}

bool CVorelBuffer::locateData(uint32_t k, uint32_t& pos, uint32_t& remaining) const {
    if (k >= m_rawDataSize || k > UINT32_MAX - m_rawDataOffset)
        return false;
    pos = m_rawDataOffset + k;
    remaining = m_rawDataSize - k;
    return true;
}

uint8_t CVorelBuffer::At(uint32_t index) {
    const uint32_t headerSize = GetHeaderSize();
    if (index < headerSize)
        return static_cast<uint8_t>(m_headerCache[index]);
    uint32_t pos = 0;
    uint32_t remaining = 0;
    if (!locateData(index - headerSize, pos, remaining))
        return 0;
    return m_buff->At(pos);
}

uint32_t CVorelBuffer::Size() {
    const uint64_t size = static_cast<uint64_t>(GetHeaderSize()) + m_rawDataSize;
    return static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
}

uint32_t CVorelBuffer::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    const uint32_t headerSize = GetHeaderSize();
    if (index < headerSize) {
        const uint32_t n = std::min(count, headerSize - index);
        std::copy_n(m_headerCache.begin() + index, n, buff);
        return n;
    }
    uint32_t pos = 0;
    uint32_t remaining = 0;
    if (count == 0 || !locateData(index - headerSize, pos, remaining))
        return 0;
    return m_buff->Copy(pos, std::min(count, remaining), buff);
}

uint32_t CVorelBuffer::Write(uint8_t* /*data*/, uint32_t /*size*/) {
    return 0;
}

void CVorelBuffer::Clear() {
    m_header.clear();
    m_headerCache = "\n\n";
    m_buff->Clear();
}

uint32_t CVorelBuffer::GetHeaderSize() {
    return static_cast<uint32_t>(m_headerCache.size());
}

uint32_t CVorelBuffer::GetRawData() {
    return m_rawDataOffset;
}

uint32_t CVorelBuffer::GetRawDataSize() {
    return m_rawDataSize;
}

void CVorelBuffer::SetRawDataSize(uint32_t size) {
    m_rawDataSize = size;
}
