// Fuzz target: package headers of arbitrary bytes read by CHeaderFile, from
// memory and from a file, with the data behind them located both ways, and
// read alike by every reader when the strict reader accepts them.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "CHeaderFile.h"
#include "FuzzSupport.h"
#include "ReaderAgreement.h"

namespace {

using Headers = std::map<std::string, std::string>;

// True when every line is shorter than the reader's line buffer, the one case
// in which file and memory are read alike.
bool LinesFitTheBuffer(const uint8_t* data, size_t size) {
    size_t run = 0;
    for (size_t i = 0; i < size; ++i) {
        run = data[i] == '\n' ? 0 : run + 1;
        if (run >= 1000)
            return false;
    }
    return true;
}

// Writes `headers` as a header block and reads the block back from memory:
// what was read must survive the round trip when its lines fit the reader.
void CheckRoundTrip(const Headers& headers) {
    for (const auto& header : headers) {
        if (header.first.size() + header.second.size() + 3 >= 1000)
            return;
    }
    CHeaderFile writer;
    for (const auto& header : headers)
        writer.SetHeader(header.first, header.second);
    char* text = nullptr;
    size_t length = 0;
    FILE* fp = open_memstream(&text, &length);
    fuzz::Check(fp != nullptr, "memory stream");
    writer.WriteHeaders(fp);
    std::fclose(fp);
    CHeaderFile reader(text, static_cast<int>(length));
    fuzz::Check(reader.ReadFile(), "written block read back");
    fuzz::Check(reader.GetHeaders() == headers, "headers survive writing and reading");
    fuzz::Check(reader.GetBufferData() == text + length, "data follows the written block");
    std::free(text);
}

// Reads the input from memory; returns the headers and where the data begins.
Headers ReadFromMemory(const uint8_t* data, size_t size, size_t& dataPos) {
    const char* bytes = reinterpret_cast<const char*>(data);
    CHeaderFile memory(bytes, static_cast<int>(size));
    fuzz::Check(memory.ReadFile(), "memory read succeeds");
    const char* begin = memory.GetBufferData();
    fuzz::Check(begin >= bytes && begin <= bytes + size, "data position inside the buffer");
    dataPos = static_cast<size_t>(begin - bytes);
    for (const auto& header : memory.GetHeaders())
        fuzz::Check(memory.GetHeader(header.first) == header.second, "GetHeader agrees");
    return memory.GetHeaders();
}

// Reads the input from a file; the stream GetFileData hands out must deliver
// exactly the bytes behind the header.
Headers ReadFromFile(const uint8_t* data, size_t size, size_t& dataPos) {
    const std::string path = fuzz::ScratchDir::Get().Path("package");
    fuzz::WriteFile(path, data, size);
    CHeaderFile file(path);
    fuzz::Check(file.ReadFile(), "file read succeeds");
    FILE* rest = file.GetFileData();
    fuzz::Check(rest != nullptr, "data stream opens");
    const long at = std::ftell(rest);
    fuzz::Check(at >= 0 && static_cast<size_t>(at) <= size, "data position inside the file");
    dataPos = static_cast<size_t>(at);
    uint8_t chunk[512];
    size_t pos = dataPos;
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, rest)) > 0) {
        fuzz::Check(pos + got <= size && std::memcmp(chunk, data + pos, got) == 0,
                    "data stream delivers the bytes behind the header");
        pos += got;
    }
    fuzz::Check(pos == size, "data stream runs to the end of the file");
    std::fclose(rest);
    std::remove(path.c_str());
    return file.GetHeaders();
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
    if (size > 1 << 20)
        return 0;
    size_t memoryPos = 0;
    size_t filePos = 0;
    const Headers fromMemory = ReadFromMemory(data, size, memoryPos);
    const Headers fromFile = ReadFromFile(data, size, filePos);
    if (LinesFitTheBuffer(data, size)) {
        fuzz::Check(fromMemory == fromFile, "file and memory give the same headers");
        fuzz::Check(memoryPos == filePos, "file and memory find the same data");
    }
    CheckRoundTrip(fromMemory);
    fuzz::CheckReadersAgree(data, size);
    return 0;
}
