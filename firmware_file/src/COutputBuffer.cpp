#include "COutputBuffer.h"

uint8_t COutputBuffer::At(uint32_t /*index*/) {
    return 0;
}

uint32_t COutputBuffer::Size() {
    return 0;
}

uint32_t COutputBuffer::Copy(uint32_t /*index*/, uint32_t /*count*/, uint8_t* /*buff*/) {
    return 0;
}

uint32_t COutputBuffer::Write(uint8_t* data, uint32_t size) {
    return m_output.Write(data, size) ? size : 0;
}

void COutputBuffer::Clear() {}
