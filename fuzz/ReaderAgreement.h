// The agreement of the package header readers: a header that the strict reader
// (CPackageHeader) accepts is read by CHeaderFile, from memory and from a file,
// and by CVorelBuffer as the same header set with the same image start. The
// fuzz targets check it on every input; the header reader's tests over a table.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "CHeaderFile.h"
#include "CPackageHeader.h"
#include "CVorelBuffer.h"
#include "FuzzSupport.h"

namespace fuzz {

// What one reader took from a header: its set in the canonical text (one
// "name: value" line per entry in name order, then the empty line) and where
// it says the image begins.
struct Reading {
    std::string text;
    size_t imageStart = 0;
    bool operator==(const Reading& other) const {
        return text == other.text && imageStart == other.imageStart;
    }
};

struct Readings {
    PackageError strictError = PackageError::Ok;
    std::string problem;  // why the strict reader refused
    // The others are read only when the strict reader accepts.
    Reading strict, memory, file, vorel;
    bool memoryRead = false, fileRead = false, vorelDecoded = false;

    bool Accepted() const { return strictError == PackageError::Ok; }
    bool Agree() const {
        return memoryRead && fileRead && vorelDecoded && memory == strict && file == strict &&
               vorel == strict;
    }
};

inline std::string CanonicalText(const std::map<std::string, std::string>& headers) {
    std::string text;
    for (const auto& [name, value] : headers)
        text += name + ": " + value + "\n";
    return text + "\n";
}

inline void ReadWithHeaderFile(const uint8_t* data, size_t size, const std::string& path,
                               Readings& readings) {
    const char* bytes = reinterpret_cast<const char*>(data);
    CHeaderFile memory(bytes, static_cast<int>(size));
    readings.memoryRead = memory.ReadFile();
    readings.memory = {CanonicalText(memory.GetHeaders()),
                       static_cast<size_t>(memory.GetBufferData() - bytes)};
    WriteFile(path, data, size);
    CHeaderFile file(path);
    readings.fileRead = file.ReadFile();
    FILE* rest = readings.fileRead ? file.GetFileData() : nullptr;
    readings.fileRead = rest != nullptr;
    if (rest != nullptr) {
        readings.file = {CanonicalText(file.GetHeaders()), static_cast<size_t>(std::ftell(rest))};
        std::fclose(rest);
    }
    std::remove(path.c_str());
}

// The view's text is its set in the canonical text already.
inline void ReadWithVorelBuffer(const uint8_t* data, size_t size, Readings& readings) {
    ByteView bytes(data, size);
    CVorelBuffer view(&bytes);
    readings.vorelDecoded = view.Decode();
    std::string text(view.GetHeaderSize(), '\0');
    view.Copy(0, view.GetHeaderSize(), reinterpret_cast<uint8_t*>(&text[0]));
    readings.vorel = {text, view.GetRawData()};
}

// Reads the header at the start of `data` with every reader; the file reading
// goes through `path`.
inline Readings ReadHeaders(const uint8_t* data, size_t size, const std::string& path) {
    Readings readings;
    ByteView bytes(data, size);
    CPackageHeader strict;
    readings.strictError = strict.Read(bytes);
    readings.problem = strict.Problem();
    if (!readings.Accepted())
        return readings;
    const std::map<std::string, std::string> lines(strict.Lines().begin(), strict.Lines().end());
    readings.strict = {CanonicalText(lines), strict.Size()};
    ReadWithHeaderFile(data, size, path, readings);
    ReadWithVorelBuffer(data, size, readings);
    return readings;
}

// Aborts when the strict reader accepts a header the others read differently.
inline void CheckReadersAgree(const uint8_t* data, size_t size) {
    const Readings readings = ReadHeaders(data, size, ScratchDir::Get().Path("agreement"));
    Check(!readings.Accepted() || readings.Agree(),
          "every reader reads a header the strict reader accepts alike");
}

}  // namespace fuzz
