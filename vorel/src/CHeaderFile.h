// The vorel package header: one "name: value" line per header, an empty line,
// then the data. CHeaderFile holds a header set, writes it to a stream, and
// reads it back from a file or from memory, telling where the data begins.
#pragma once

#include <cstdio>
#include <map>
#include <string>

class CHeaderFile {
  public:
    // Lines are taken into a buffer of this size, so at most one byte less is
    // read as one line; the rest of a longer line is taken as the next line.
    static constexpr int kLineSize = 1024;
    // The longest line, its line feed not counted, that is read whole and alike
    // from a file and from memory: a file line is read with its line feed and
    // the terminating zero in the buffer, memory without the line feed. A line
    // one byte longer fills a file's buffer without its line feed, which is
    // then read as the empty line that ends the header.
    static constexpr int kLongestLine = kLineSize - 2;

    // No source: the form used to write a header block.
    CHeaderFile();
    // Reads from the named file; nothing is opened until ReadFile.
    explicit CHeaderFile(const std::string& filename);
    // Reads from bufferSize bytes at buffer, which the object neither copies nor frees.
    CHeaderFile(const char* buffer, int bufferSize);
    CHeaderFile(const CHeaderFile&) = default;
    CHeaderFile& operator=(const CHeaderFile&) = default;
    virtual ~CHeaderFile();

    // Merges the header lines of the source into the set and records where the
    // data begins. False when there is no source or the file cannot be opened.
    bool ReadFile();

    std::map<std::string, std::string> GetHeaders() const;
    // The value of name, or the empty string when it is not set.
    std::string GetHeader(const std::string& name) const;
    void SetHeader(const std::string& name, const std::string& value);

    // Writes the non-empty headers in name order and the empty line at the
    // current position of fp. Always true; the caller looks at the stream.
    bool WriteHeaders(FILE* fp);
    // The header block WriteHeaders writes, as text; empty when it cannot be made.
    std::string HeaderText();

    // A new stream over the file positioned at its first data byte, to be
    // closed by the caller; null when it cannot be opened or positioned.
    FILE* GetFileData() const;
    // The first data byte inside the caller's memory, after ReadFile on memory.
    const char* GetBufferData() const;

  protected:
    std::string m_filename;
    std::map<std::string, std::string> m_headers;
    fpos_t m_fileDataPos;
    const char* m_inputBuffer;
    int m_inputSize;
    const char* m_inputDataPos;
    bool m_debug;

  private:
    void ReadFromFile(FILE* fp);
    void ReadFromMemory();
    // Sets the header a line holds; false when the line ends the header block.
    bool TakeHeaderLine(const char* line);
};
