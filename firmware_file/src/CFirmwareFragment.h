// One fragment of a firmware file: a header guarded by CRC-16/ARC checksums and
// a body (the raw data) that stays in its source buffer. A fragment is made
// over stored bytes, to be decoded and checked, or over a data source plus
// metadata, to be encoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "CBuffer.h"

class CFirmwareFragment {
  public:
    // Reading constructor: the header starts at `encodedData` in `buff`, with
    // `size` bytes available from there. Call Decode next.
    CFirmwareFragment(CBuffer* buff, uint32_t encodedData, uint32_t size);
    // Building constructor: the body is `size` bytes at `rawData` in `buff`
    // (0 stands for the whole buffer).
    CFirmwareFragment(CBuffer* buff, uint32_t rawData, uint32_t size, unsigned int type,
                      unsigned int release, unsigned int version, std::string name,
                      unsigned int build, unsigned int day, unsigned int month, unsigned int year);
    virtual ~CFirmwareFragment() = default;

    CFirmwareFragment(const CFirmwareFragment&) = delete;
    CFirmwareFragment& operator=(const CFirmwareFragment&) = delete;

    virtual std::string ToString() const;
    // Length of the encoded form (header then body).
    virtual uint32_t Size();
    uint8_t At(uint32_t index);
    // Copies from the encoded form; a call never crosses from header into body.
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff);

    // Builds the header for a fragment standing alone: body CRC from the
    // source, body offset = header length.
    bool PrepareHeader();
    // Rebuilds the header with the given body CRC and body offset.
    bool PrepareHeader(uint16_t bodyCRC, uint32_t offset);
    uint32_t GetHeaderSize();
    // Reads and checks the header; computes the body CRC when asked to.
    bool Decode(bool checkBodyCRC);
    // Decodes a fragment inside a logical body of which `unaccounted` bytes are
    // not yet claimed. Its header plus body must fit in them before the body is
    // checked; they are then taken off. False when the header fails or does not fit.
    bool DecodeWithin(bool checkBodyCRC, uint32_t& unaccounted);

    // Appends header then body to `out`; returns the bytes written.
    uint32_t Encode(CBuffer* out);
    uint32_t RawDataDump(CBuffer* out);
    uint32_t EncodedDataDump(CBuffer* out);

    uint16_t generateCRC(uint32_t data, uint32_t size);
    bool generateCRCTick(uint32_t data, uint32_t& size, uint16_t& crc);

    bool CrcOK() const;

    // What the last Decode found of the header; the checks run in this order
    // and Decode stops at the first that fails.
    enum class HeaderState { NotRead, TooSmall, BadLength, BadNameLength, BadCRC, Good };
    HeaderState GetHeaderState() const { return m_headerState; }
    // The header length as stored (0 before Decode has read it).
    uint32_t GetStoredHeaderLength() const { return m_storedHeaderLength; }
    uint32_t GetEncodedData() const { return m_encodedData; }
    uint16_t GetStoredHeaderCRC() const { return m_rawHeaderCRC; }
    uint16_t GetComputedHeaderCRC() const { return m_generatedHeaderCRC; }
    uint16_t GetComputedBodyCRC() const { return m_generatedBodyCRC; }
    // False when the last body check found the body running past the end of its source.
    bool BodyComplete() const { return m_bodyComplete; }

    // Decode prints each of its messages on standard output and keeps it in
    // Messages(); after PrintMessages(false) it only keeps it.
    void PrintMessages(bool print) { m_printMessages = print; }
    const std::vector<std::string>& Messages() const { return m_messages; }
    std::string GetName() const { return m_name; }
    uint32_t GetRawData() const { return m_rawData; }
    unsigned int GetRawDataSize() const { return m_rawDataSize; }
    uint16_t GetRawDataCRC() const { return m_rawBodyCRC; }
    unsigned int GetEncodedDataSize() const { return m_encodedDataSize; }
    unsigned int GetType() const { return m_type; }
    unsigned int GetRelease() const { return m_release; }
    unsigned int GetVersion() const { return m_version; }
    unsigned int GetBuild() const { return m_build; }
    unsigned int GetDay() const { return m_day; }
    unsigned int GetMonth() const { return m_month; }
    unsigned int GetYear() const { return m_year; }

    // CRC-16/ARC step, exposed for the fast path's tests: advances `crc` over `len` bytes.
    static void UpdateCRC16(const uint8_t* data, uint32_t len, uint16_t& crc);

  protected:
    // Reads `count` bytes from `index` of `buff`, asking again after short copies;
    // bytes the source cannot deliver read as 0, never as stale memory.
    static std::vector<uint8_t> ReadSource(CBuffer* buff, uint32_t index, uint32_t count);

    // Appends the fragment kind's extension bytes to `buff`; returns how many.
    virtual unsigned int EncodeExtension(std::vector<uint8_t>& buff);
    // Reads the extension whose first byte is at `startIndex` of m_buff.
    virtual void DecodeExtension(int startIndex);

    CBuffer* m_buff;

  private:
    bool Fail(HeaderState state, const char* message);
    uint32_t Dump(CBuffer* out, uint32_t data, uint32_t size);
    uint32_t CrcChunk(uint32_t data, uint32_t size, std::vector<uint8_t>& scratch, uint16_t& crc);
    // Computes the body CRC from the source and whether the source holds the whole body.
    void CheckBody();
    void calcCRC16(uint8_t* puiBuf, uint32_t ulBufLen, uint16_t& unCurrCRC);
    void calcCRC16(std::vector<uint8_t> puiBuf, uint16_t& unCurrCRC);
    uint32_t StoredNameLength() const;
    uint32_t WholeBufferBodyLength();
    void ReadHeaderFields(const std::vector<uint8_t>& header, uint32_t n);

    uint32_t m_rawData;
    uint32_t m_rawDataSize;
    uint32_t m_encodedData;
    uint32_t m_encodedDataSize;
    std::string m_name;
    uint16_t m_rawHeaderCRC;
    uint16_t m_generatedHeaderCRC;
    uint16_t m_rawBodyCRC;
    uint16_t m_generatedBodyCRC;
    uint32_t m_type;
    uint32_t m_release;
    uint32_t m_version;
    uint32_t m_build;
    uint32_t m_day;
    uint32_t m_month;
    uint32_t m_year;
    std::vector<uint8_t> m_header;
    // False once a body check found the body running past the end of its source.
    bool m_bodyComplete = true;
    // True for a fragment built with size 0: its body is then the whole source
    // buffer. A decoded fragment always has the body length it stored.
    bool m_wholeBuffer = false;
    HeaderState m_headerState = HeaderState::NotRead;
    uint32_t m_storedHeaderLength = 0;
    bool m_printMessages = true;
    std::vector<std::string> m_messages;
};
