// A CBuffer over bytes in memory, for tests that need a source without files.
#pragma once

#include <algorithm>
#include <cstring>
#include <vector>

#include "CBuffer.h"

class MemoryBuffer : public CBuffer {
  public:
    MemoryBuffer() = default;
    explicit MemoryBuffer(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

    uint8_t At(uint32_t index) override { return index < m_bytes.size() ? m_bytes[index] : 0; }
    uint32_t Size() override { return static_cast<uint32_t>(m_bytes.size()); }
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override {
        if (index >= m_bytes.size())
            return 0;
        const uint32_t n = std::min<uint32_t>(count, static_cast<uint32_t>(m_bytes.size() - index));
        std::memcpy(buff, m_bytes.data() + index, n);
        ++copies;
        return n;
    }
    uint32_t Write(uint8_t* data, uint32_t size) override {
        m_bytes.insert(m_bytes.end(), data, data + size);
        return size;
    }
    void Clear() override { m_bytes.clear(); }

    std::vector<uint8_t>& Bytes() { return m_bytes; }
    int copies = 0;

  private:
    std::vector<uint8_t> m_bytes;
};
