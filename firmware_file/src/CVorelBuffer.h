// A read-only CBuffer that presents an upgrade package: the vorel header text
// ("name: value" lines and an empty line) followed by the image data.
//
// Reading: Decode parses the header of a package held in the underlying buffer
// (at position 0 or at a given offset), the headers can then be asked for by
// name, and the "filesize" header gives the size of the data.
// Wrapping: over a buffer that holds a bare image, headers are set one by one and
// the view reads as the header text followed by the whole image.
//
// View position H + k (H = length of the header text) is byte k of the data, at
// underlying position GetRawData() + k; the view ends after GetRawDataSize()
// data bytes. The underlying buffer is not owned and must outlive the view.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "CBuffer.h"

class CVorelBuffer : public CBuffer {
  public:
    // A header block, its empty line included, is read up to this many bytes;
    // one that has not ended by then is not a package header (bounded time and
    // memory on hostile input). Every reader of package headers keeps to it.
    static constexpr uint32_t kMaxHeaderSize = 64 * 1024;

    // View over `buff`; the data is the whole buffer until Decode finds a header.
    explicit CVorelBuffer(CBuffer* buff);
    // View over a package that begins at `offset` inside `buff`; no data until
    // Decode has read the "filesize" header.
    CVorelBuffer(CBuffer* buff, uint32_t offset);

    // Parses the header in the underlying buffer into the header set. True when
    // the header was read up to its empty line, within kMaxHeaderSize bytes, and
    // "filesize" holds a number that fits 32 bits. Headers set before the call
    // stay in the set.
    bool Decode();

    // The value of header `val`; a missing header is added with an empty value.
    std::string GetHeader(std::string val);
    // Sets header `var` to `val` and rebuilds the header text.
    void SetHeader(std::string var, std::string val);
    void SetHeader(std::string var, uint32_t val);

    uint8_t At(uint32_t index) override;
    uint32_t Size() override;
    // Never returns header bytes and data bytes in one call.
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    // The view is read-only: returns 0 and changes nothing.
    uint32_t Write(uint8_t* data, uint32_t size) override;
    // Empties the header set and the underlying buffer.
    void Clear() override;

    // Length of the header text.
    uint32_t GetHeaderSize();
    // Position of the first data byte in the underlying buffer (0 before Decode).
    uint32_t GetRawData();
    // Number of data bytes.
    uint32_t GetRawDataSize();
    void SetRawDataSize(uint32_t size);

  private:
    enum State { VAR, COLON, SPACE, VAL };
    enum Step { NEXT, END, FAIL };

    // What Decode carries from one byte to the next.
    struct Parser {
        State state = VAR;
        std::string var;
        std::string val;
        uint8_t last = 0;
        bool stored = false;  // a header line has gone into the set
    };

    // Reads the header into the set; END when its empty line was found.
    Step parseHeader(Parser& parser);
    Step parseByte(Parser& parser, uint8_t current);
    Step parseNameByte(Parser& parser, uint8_t current, uint8_t last);
    Step parseValueByte(Parser& parser, uint8_t current);
    bool readFileSize();
    void rebuildHeaderCache();
    // Finds data byte `k` in the underlying buffer: its position and how many
    // data bytes remain from there. False when `k` lies past the data.
    bool locateData(uint32_t k, uint32_t& pos, uint32_t& remaining) const;

    CBuffer* m_buff;
    std::map<std::string, std::string> m_header;
    std::string m_headerCache;
    uint32_t m_rawDataOffset;
    uint32_t m_rawDataSize;
    uint32_t m_headerOffset;
};
