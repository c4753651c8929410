#include "CMemoryBuffer.h"

#include <algorithm>
#include <cstring>

CMemoryBuffer::CMemoryBuffer(const void* data, size_t size)
    : m_data(static_cast<const uint8_t*>(data)),
      m_size(data == nullptr ? 0 : static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX))) {}

uint8_t CMemoryBuffer::At(uint32_t index) {
    return index < m_size ? m_data[index] : 0;
}

uint32_t CMemoryBuffer::Size() {
    return m_size;
}

uint32_t CMemoryBuffer::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    if (index >= m_size || buff == nullptr)
        return 0;
    const uint32_t n = std::min(count, m_size - index);
    std::memcpy(buff, m_data + index, n);
    return n;
}

uint32_t CMemoryBuffer::Write(uint8_t*, uint32_t) {
    return 0;
}

void CMemoryBuffer::Clear() {}
