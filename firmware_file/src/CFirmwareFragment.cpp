#include "CFirmwareFragment.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <utility>

#include "Text.h"
#include "Crc16.h"

namespace {

// A tick checksums at most this many bytes; bodies are copied in chunks of the same
// size, small enough to stay in the processor's cache between being read and written.
constexpr uint32_t kCrcScratch = 256u << 10;
constexpr uint32_t kDumpChunk = 256u << 10;

// Fixed header bytes besides the name: 40 + name length + extension.
constexpr uint32_t kFixedHeaderBytes = 40;
constexpr uint32_t kMaxStoredName = 255;

// Header offsets that follow the name, relative to 9 + n.
constexpr uint32_t kBodyLengthAt = 9;
constexpr uint32_t kBodyCrcAt = 13;
constexpr uint32_t kBodyOffsetAt = 15;
constexpr uint32_t kHeaderCrcAt = 21;
constexpr uint32_t kBuildAt = 23;
constexpr uint32_t kDayAt = 27;
constexpr uint32_t kMonthAt = 28;
constexpr uint32_t kYearAt = 29;

void Append16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Append32(std::vector<uint8_t>& out, uint32_t value) {
    Append16(out, value & 0xFFFFu);
    Append16(out, value >> 16);
}

uint32_t Read16(const std::vector<uint8_t>& in, uint32_t at) {
    return static_cast<uint32_t>(in[at]) | (static_cast<uint32_t>(in[at + 1]) << 8);
}

uint32_t Read32(const std::vector<uint8_t>& in, uint32_t at) {
    return Read16(in, at) | (Read16(in, at + 2) << 16);
}

}  // namespace

CFirmwareFragment::CFirmwareFragment(CBuffer* buff, uint32_t encodedData, uint32_t size)
    : m_buff(buff),
      m_rawData(0),
      m_rawDataSize(0),
      m_encodedData(encodedData),
      m_encodedDataSize(size),
      m_rawHeaderCRC(0),
      m_generatedHeaderCRC(1),
      m_rawBodyCRC(0),
      m_generatedBodyCRC(1),
      m_type(0),
      m_release(0),
      m_version(0),
      m_build(0),
      m_day(0),
      m_month(0),
      m_year(0) {
    const uint32_t hl = Read16(ReadSource(buff, encodedData, 2), 0);
    if (hl != 0 && size >= hl)
        m_header = ReadSource(buff, encodedData, hl);
}

CFirmwareFragment::CFirmwareFragment(CBuffer* buff, uint32_t rawData, uint32_t size,
                                     unsigned int type, unsigned int release, unsigned int version,
                                     std::string name, unsigned int build, unsigned int day,
                                     unsigned int month, unsigned int year)
    : m_buff(buff),
      m_rawData(rawData),
      m_rawDataSize(size),
      m_encodedData(0),
      m_encodedDataSize(0),
      m_name(std::move(name)),
      m_rawHeaderCRC(0),
      m_generatedHeaderCRC(1),
      m_rawBodyCRC(0),
      m_generatedBodyCRC(1),
      m_type(type),
      m_release(release),
      m_version(version),
      m_build(build),
      m_day(day),
      m_month(month),
      m_year(year),
      m_wholeBuffer(size == 0) {}

std::vector<uint8_t> CFirmwareFragment::ReadSource(CBuffer* buff, uint32_t index, uint32_t count) {
    std::vector<uint8_t> bytes(count, 0);
    uint32_t done = 0;
    while (done < count) {
        const uint32_t got = buff->Copy(index + done, count - done, bytes.data() + done);
        if (got == 0)
            break;
        done += got;
    }
    return bytes;
}

// ---- checksums ------------------------------------------------------------

void CFirmwareFragment::UpdateCRC16(const uint8_t* data, uint32_t len, uint16_t& crc) {
    crc = Crc16Arc(crc, data, len);
}

void CFirmwareFragment::calcCRC16(uint8_t* puiBuf, uint32_t ulBufLen, uint16_t& unCurrCRC) {
    UpdateCRC16(puiBuf, ulBufLen, unCurrCRC);
}

void CFirmwareFragment::calcCRC16(std::vector<uint8_t> puiBuf, uint16_t& unCurrCRC) {
    UpdateCRC16(puiBuf.data(), static_cast<uint32_t>(puiBuf.size()), unCurrCRC);
}

// Advances `crc` over up to `size` body bytes from `data`, read through `scratch`;
// returns how many the source delivered (0 when it has none there).
uint32_t CFirmwareFragment::CrcChunk(uint32_t data, uint32_t size, std::vector<uint8_t>& scratch,
                                     uint16_t& crc) {
    const uint32_t want = std::min(size, static_cast<uint32_t>(scratch.size()));
    const uint32_t got = want == 0 ? 0 : m_buff->Copy(m_rawData + data, want, scratch.data());
    if (got > 0)
        calcCRC16(scratch.data(), got, crc);
    return got;
}

// A source that runs dry ends the walk; the body check then fails.
uint16_t CFirmwareFragment::generateCRC(uint32_t data, uint32_t size) {
    uint16_t crc = 0;
    m_buff->Checksum(m_rawData + data, size, crc);
    return crc;
}

bool CFirmwareFragment::generateCRCTick(uint32_t data, uint32_t& size, uint16_t& crc) {
    std::vector<uint8_t> scratch(std::min(size, kCrcScratch));
    size = CrcChunk(data, size, scratch, crc);
    return true;
}

bool CFirmwareFragment::CrcOK() const {
    return m_rawHeaderCRC == m_generatedHeaderCRC && m_rawBodyCRC == m_generatedBodyCRC &&
           m_bodyComplete;
}

// ---- header ---------------------------------------------------------------

uint32_t CFirmwareFragment::StoredNameLength() const {
    if (m_name.empty())
        return 1;
    return static_cast<uint32_t>(std::min<size_t>(m_name.size(), kMaxStoredName));
}

// Body length under the whole-buffer rule: the whole source when the body
// starts at 0, an empty body otherwise.
uint32_t CFirmwareFragment::WholeBufferBodyLength() {
    return m_wholeBuffer && m_rawData == 0 ? m_buff->Size() : 0;
}

bool CFirmwareFragment::PrepareHeader(uint16_t bodyCRC, uint32_t offset) {
    m_header.clear();
    Append16(m_header, 0);
    Append16(m_header, m_type);
    Append16(m_header, m_release);
    Append16(m_header, m_version);
    const uint32_t s = StoredNameLength();
    m_header.push_back(static_cast<uint8_t>(s));
    if (m_name.empty()) {
        m_header.push_back(' ');
    } else {
        m_header.insert(m_header.end(), m_name.begin(), m_name.begin() + s);
    }
    Append32(m_header, m_rawDataSize != 0 ? m_rawDataSize : WholeBufferBodyLength());
    Append16(m_header, bodyCRC);
    m_rawBodyCRC = m_generatedBodyCRC = bodyCRC;
    Append32(m_header, offset);
    m_header.insert(m_header.end(), {0x01, 0x00, 0x00, 0x00});
    Append32(m_header, m_build);
    m_header.push_back(static_cast<uint8_t>(m_day));
    m_header.push_back(static_cast<uint8_t>(m_month));
    Append16(m_header, m_year);
    m_header.insert(m_header.end(), 9, 0x00);
    EncodeExtension(m_header);

    const uint32_t length = static_cast<uint32_t>(m_header.size());
    m_header[0] = static_cast<uint8_t>(length);
    m_header[1] = static_cast<uint8_t>(length >> 8);
    uint16_t headerCRC = 0;
    calcCRC16(m_header, headerCRC);
    m_header[kHeaderCrcAt + s] = static_cast<uint8_t>(headerCRC);
    m_header[kHeaderCrcAt + s + 1] = static_cast<uint8_t>(headerCRC >> 8);
    m_rawHeaderCRC = m_generatedHeaderCRC = headerCRC;
    return true;
}

bool CFirmwareFragment::PrepareHeader() {
    uint16_t bodyCRC = 0;
    if (m_rawDataSize != 0) {
        bodyCRC = generateCRC(0, m_rawDataSize);
    } else {
        bodyCRC = generateCRC(0, WholeBufferBodyLength());
    }
    return PrepareHeader(bodyCRC, GetHeaderSize());
}

uint32_t CFirmwareFragment::GetHeaderSize() {
    if (!m_header.empty())
        return static_cast<uint32_t>(m_header.size());
    std::vector<uint8_t> scratch;
    return kFixedHeaderBytes + StoredNameLength() + EncodeExtension(scratch);
}

void CFirmwareFragment::ReadHeaderFields(const std::vector<uint8_t>& header, uint32_t n) {
    const uint32_t tail = 9 + n;  // first byte after the name
    m_type = Read16(header, 2);
    m_release = Read16(header, 4);
    m_version = Read16(header, 6);
    m_name.assign(header.begin() + 9, header.begin() + tail);
    m_build = Read32(header, kBuildAt + n);
    m_day = header[kDayAt + n];
    m_month = header[kMonthAt + n];
    m_year = Read16(header, kYearAt + n);
    m_rawDataSize = Read32(header, kBodyLengthAt + n);
    m_rawBodyCRC = static_cast<uint16_t>(Read16(header, kBodyCrcAt + n));
    m_rawData = Read32(header, kBodyOffsetAt + n);
}

bool CFirmwareFragment::Decode(bool checkBodyCRC) {
    const uint32_t E = m_encodedData;
    const uint32_t S = m_encodedDataSize;
    if (S < 2)
        return Fail(HeaderState::TooSmall, "Fragment too small to contain a header");
    const uint32_t hl = Read16(ReadSource(m_buff, E, 2), 0);
    m_storedHeaderLength = hl;
    if (hl > S || S <= 39)
        return Fail(HeaderState::BadLength, "Bad fragment size stored in header");
    // One read of the whole stored header; every field comes from this copy.
    std::vector<uint8_t> header = ReadSource(m_buff, E, hl);
    // A stored length too short to reach the name length byte can hold no name.
    const uint32_t n = hl > 8 ? header[8] : 0;
    if (hl < n + 39)
        return Fail(HeaderState::BadNameLength, "Bad name size stored in header");
    m_rawHeaderCRC = static_cast<uint16_t>(Read16(header, kHeaderCrcAt + n));
    header[kHeaderCrcAt + n] = 0;
    header[kHeaderCrcAt + n + 1] = 0;
    m_generatedHeaderCRC = 0;
    calcCRC16(header, m_generatedHeaderCRC);
    if (m_rawHeaderCRC != m_generatedHeaderCRC)
        return Fail(HeaderState::BadCRC, "Incorrect header CRC");
    m_headerState = HeaderState::Good;
    ReadHeaderFields(header, n);
    DecodeExtension(static_cast<int>(E + kFixedHeaderBytes + n));
    if (checkBodyCRC)
        CheckBody();
    m_encodedDataSize = hl + m_rawDataSize;
    return true;
}

bool CFirmwareFragment::Fail(HeaderState state, const char* message) {
    m_headerState = state;
    m_messages.emplace_back(message);
    if (m_printMessages)
        std::printf("%s\n", message);
    return false;
}

// A body the source cannot deliver in full never passes, whatever the delivered bytes
// sum to. An empty body lacks nothing, wherever its offset points.
void CFirmwareFragment::CheckBody() {
    m_bodyComplete =
        m_rawDataSize == 0 || static_cast<uint64_t>(m_rawData) + m_rawDataSize <= m_buff->Size();
    m_generatedBodyCRC = generateCRC(0, m_rawDataSize);
}

bool CFirmwareFragment::DecodeWithin(bool checkBodyCRC, uint32_t& unaccounted) {
    if (!Decode(false))
        return false;
    const uint64_t claimed = static_cast<uint64_t>(GetHeaderSize()) + m_rawDataSize;
    if (claimed > unaccounted)
        return false;
    if (checkBodyCRC)
        CheckBody();
    unaccounted -= static_cast<uint32_t>(claimed);
    return true;
}

unsigned int CFirmwareFragment::EncodeExtension(std::vector<uint8_t>& /*buff*/) {
    return 0;
}

void CFirmwareFragment::DecodeExtension(int /*startIndex*/) {}

// ---- encoded form ---------------------------------------------------------

uint32_t CFirmwareFragment::Size() {
    if (m_header.empty())
        PrepareHeader();
    if (m_encodedDataSize != 0)
        return m_encodedDataSize;
    const uint32_t hs = static_cast<uint32_t>(m_header.size());
    return hs + (m_rawDataSize != 0 ? m_rawDataSize : WholeBufferBodyLength());
}

uint8_t CFirmwareFragment::At(uint32_t index) {
    if (m_header.empty())
        PrepareHeader();
    const uint32_t hs = static_cast<uint32_t>(m_header.size());
    if (index < hs)
        return m_header[index];
    return m_buff->At(m_rawData + (index - hs));
}

uint32_t CFirmwareFragment::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    if (m_header.empty())
        PrepareHeader();
    const uint32_t hs = static_cast<uint32_t>(m_header.size());
    if (index < hs) {
        const uint32_t n = std::min(count, hs - index);
        std::memcpy(buff, m_header.data() + index, n);
        return n;
    }
    return m_buff->Copy(m_rawData + (index - hs), count, buff);
}

uint32_t CFirmwareFragment::Encode(CBuffer* out) {
    if (m_header.empty())
        PrepareHeader();
    uint32_t written = out->Write(m_header.data(), static_cast<uint32_t>(m_header.size()));
    written += Dump(out, m_rawData, m_rawDataSize);
    m_encodedData = 0;
    m_encodedDataSize = written;
    return written;
}

uint32_t CFirmwareFragment::Dump(CBuffer* out, uint32_t data, uint32_t size) {
    std::vector<uint8_t> scratch(std::min(size, kDumpChunk));
    uint32_t totalRead = 0;
    uint32_t totalWritten = 0;
    while (totalRead < size) {
        const uint32_t toRead = std::min(size - totalRead, kDumpChunk);
        const uint32_t got = m_buff->Copy(data + totalRead, toRead, scratch.data());
        if (got == 0)
            break;
        const uint32_t put = out->Write(scratch.data(), got);
        totalWritten += put;
        if (put != got)
            break;
        totalRead += got;
    }
    return totalWritten;
}

uint32_t CFirmwareFragment::RawDataDump(CBuffer* out) {
    return Dump(out, m_rawData, m_rawDataSize);
}

uint32_t CFirmwareFragment::EncodedDataDump(CBuffer* out) {
    return Dump(out, m_encodedData, m_encodedDataSize);
}

// ---- listing --------------------------------------------------------------

std::string CFirmwareFragment::ToString() const {
    std::ostringstream out;
    out << "---------------------------\n"
        << "Firmware File Name: " << Core::Text::Escaped(m_name) << "\n"
        << "CRC Pass: " << (CrcOK() ? 1 : 0) << "\n"
        << "Encoded Size: " << m_encodedDataSize << "\n"
        << "Raw Data Size: " << m_rawDataSize << "\n"
        << "Type: " << m_type << "\n"
        << "Release: " << m_release << "\n"
        << "Version: " << m_version << "\n"
        << "Day: " << m_day << "\n"
        << "Month: " << m_month << "\n"
        << "Year: " << m_year << "\n"
        << "Build: " << m_build << "\n"
        << "---------------------------\n";
    return out.str();
}
