#include "CHeaderFile.h"

#include <sys/types.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLineSize = CHeaderFile::kLineSize;

// Copies the line starting at pos into line, passing over the line feed that
// ends it, and returns the read position behind it.
int CopyLine(const char* buffer, int size, int pos, char* line) {
    int length = 0;
    while (pos < size && buffer[pos] != '\n' && length < kLineSize - 1)
        line[length++] = buffer[pos++];
    if (pos < size && buffer[pos] == '\n')
        ++pos;
    line[length] = '\0';
    return pos;
}

}  // namespace

CHeaderFile::CHeaderFile()
    : m_fileDataPos(),
      m_inputBuffer(nullptr),
      m_inputSize(0),
      m_inputDataPos(nullptr),
      m_debug(false) {}

CHeaderFile::CHeaderFile(const std::string& filename)
    : m_filename(filename),
      m_fileDataPos(),
      m_inputBuffer(nullptr),
      m_inputSize(0),
      m_inputDataPos(nullptr),
      m_debug(false) {}

CHeaderFile::CHeaderFile(const char* buffer, int bufferSize)
    : m_fileDataPos(),
      m_inputBuffer(buffer),
      m_inputSize(bufferSize),
      m_inputDataPos(buffer),
      m_debug(false) {}

CHeaderFile::~CHeaderFile() {}

bool CHeaderFile::ReadFile() {
    if (m_filename.empty() && m_inputBuffer == nullptr) {
        std::fprintf(stderr, "CHeaderFile::ReadFile: no filename or input buffer initialized\n");
        return false;
    }
    if (!m_filename.empty()) {
        FILE* fp = std::fopen(m_filename.c_str(), "rb");
        if (fp == nullptr) {
            std::perror("CHeaderFile::ReadFile:fopen");
            return false;
        }
        ReadFromFile(fp);
    } else {
        ReadFromMemory();
    }
    if (m_debug)
        std::printf("found %zd headers\n", static_cast<ssize_t>(m_headers.size()));
    return true;
}

void CHeaderFile::ReadFromFile(FILE* fp) {
    char line[kLineSize];
    // A read error ends the header block like the end of the file does.
    while (std::fgets(line, kLineSize, fp) != nullptr) {
        line[kLineSize - 1] = '\0';
        const bool last = std::feof(fp) != 0;
        if (!TakeHeaderLine(line) || last)
            break;
    }
    std::fgetpos(fp, &m_fileDataPos);
    std::fclose(fp);
}

void CHeaderFile::ReadFromMemory() {
    // A size of 0 or less is an empty source: nothing before or behind the buffer is read.
    const int size = m_inputSize > 0 ? m_inputSize : 0;
    char line[kLineSize];
    int pos = 0;
    for (;;) {
        pos = CopyLine(m_inputBuffer, size, pos, line);
        const bool last = pos == size;
        if (!TakeHeaderLine(line) || last)
            break;
    }
    m_inputDataPos = m_inputBuffer + pos;
}

bool CHeaderFile::TakeHeaderLine(const char* line) {
    char name[kLineSize];
    char value[kLineSize];
    if (std::sscanf(line, "%1023s %1023s", name, value) < 2) {
        if (m_debug)
            std::printf("end of headers, bye\n");
        return false;
    }
    if (m_debug)
        std::printf("got '%s''%s'\n", name, value);
    const size_t length = std::strlen(name);
    if (length > 0 && name[length - 1] == ':')
        name[length - 1] = '\0';
    if (m_debug)
        std::printf("read name: '%s' value: '%s'\n", name, value);
    m_headers[name] = value;
    return true;
}

std::map<std::string, std::string> CHeaderFile::GetHeaders() const {
    return m_headers;
}

std::string CHeaderFile::GetHeader(const std::string& name) const {
    const auto found = m_headers.find(name);
    return found != m_headers.end() ? found->second : std::string();
}

void CHeaderFile::SetHeader(const std::string& name, const std::string& value) {
    m_headers[name] = value;
}

bool CHeaderFile::WriteHeaders(FILE* fp) {
    for (const auto& header : m_headers) {
        if (header.second.empty())
            continue;
        std::fprintf(fp, "%s: %s\n", header.first.c_str(), header.second.c_str());
    }
    std::fprintf(fp, "\n");
    return true;
}

std::string CHeaderFile::HeaderText() {
    char* data = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&data, &size);
    if (stream == nullptr)
        return std::string();
    WriteHeaders(stream);
    const bool ok = std::fclose(stream) == 0;
    std::string text = ok && data != nullptr ? std::string(data, size) : std::string();
    std::free(data);
    return text;
}

FILE* CHeaderFile::GetFileData() const {
    FILE* fp = std::fopen(m_filename.c_str(), "rb");
    if (fp == nullptr)
        return nullptr;
    if (std::fsetpos(fp, &m_fileDataPos) != 0) {
        std::fclose(fp);
        return nullptr;
    }
    return fp;
}

const char* CHeaderFile::GetBufferData() const {
    return m_inputDataPos;
}
