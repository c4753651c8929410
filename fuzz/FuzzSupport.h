// Helpers shared by the fuzz targets: byte sources over the fuzzer's input, a
// sink that only counts, a scratch directory per process, and a check that
// stops the run when a parser breaks a promise it makes.
//
// Each target defines its entry function under the name FUZZ_ENTRY, which is
// LLVMFuzzerTestOneInput for libFuzzer; the replay test compiles the same
// sources under other names and feeds them the committed inputs.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CBuffer.h"

#ifndef FUZZ_ENTRY
#define FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace fuzz {

// A read-only CBuffer over bytes in memory; nothing is copied.
class ByteView : public CBuffer {
  public:
    ByteView(const uint8_t* data, size_t size)
        : m_data(data), m_size(static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX))) {}

    uint8_t At(uint32_t index) override { return index < m_size ? m_data[index] : 0; }
    uint32_t Size() override { return m_size; }
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override {
        if (index >= m_size || count == 0)
            return 0;
        const uint32_t n = std::min(count, m_size - index);
        std::memcpy(buff, m_data + index, n);
        return n;
    }
    uint32_t Write(uint8_t* /*data*/, uint32_t /*size*/) override { return 0; }
    void Clear() override {}

  private:
    const uint8_t* m_data;
    uint32_t m_size;
};

// A CBuffer that takes every write and keeps only the count.
class CountingSink : public CBuffer {
  public:
    uint8_t At(uint32_t /*index*/) override { return 0; }
    uint32_t Size() override { return m_count; }
    uint32_t Copy(uint32_t /*index*/, uint32_t /*count*/, uint8_t* /*buff*/) override { return 0; }
    uint32_t Write(uint8_t* /*data*/, uint32_t size) override {
        m_count += size;
        return size;
    }
    void Clear() override { m_count = 0; }

  private:
    uint32_t m_count = 0;
};

// Aborts with a message when `ok` is false, so that the fuzzer keeps the input.
inline void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// A directory of this process under $TMPDIR (or /tmp), made on first use,
// reused by every run and removed at exit with the files the targets name.
class ScratchDir {
  public:
    static ScratchDir& Get() {
        static ScratchDir dir;
        return dir;
    }
    // A path in the directory; the file is removed at exit.
    std::string Path(const std::string& name) {
        const std::string path = m_path + "/" + name;
        if (std::find(m_names.begin(), m_names.end(), path) == m_names.end())
            m_names.push_back(path);
        return path;
    }
    ~ScratchDir() {
        for (const std::string& path : m_names)
            std::remove(path.c_str());
        rmdir(m_path.c_str());
    }

  private:
    ScratchDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base ? base : "/tmp");
        pattern += "/fwkit-fuzz-XXXXXX";
        Check(mkdtemp(&pattern[0]) != nullptr, "cannot make a scratch directory");
        m_path = pattern;
    }

    std::string m_path;
    std::vector<std::string> m_names;
};

// Writes the input to `path` whole; aborts when it cannot.
inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* fp = std::fopen(path.c_str(), "wb");
    Check(fp != nullptr, "cannot create a scratch file");
    const bool written = size == 0 || std::fwrite(data, 1, size, fp) == size;
    Check(std::fclose(fp) == 0 && written, "cannot write a scratch file");
}

}  // namespace fuzz
