#include "CFragmentBuffer.h"

#include <algorithm>

CFragmentBuffer::~CFragmentBuffer() {
    for (CFirmwareFragment* fragment : m_fragments)
        delete fragment;
}

void CFragmentBuffer::AddFragment(CFirmwareFragment* frag) {
    m_fragments.push_back(frag);
    m_cursor.valid = false;
}

uint32_t CFragmentBuffer::Size() {
    uint32_t size = 0;
    for (CFirmwareFragment* fragment : m_fragments)
        size += fragment->Size();
    return size;
}

uint32_t CFragmentBuffer::CopyHeader(Iterator it, uint32_t start, uint32_t index, uint32_t count,
                                     uint8_t* buff) {
    const uint32_t end = start + (*it)->GetHeaderSize();
    m_cursor = Cursor{true, false, it, start};
    return (*it)->Copy(index - start, std::min(count, end - index), buff);
}

uint32_t CFragmentBuffer::CopyBody(Iterator it, uint32_t start, uint32_t index, uint32_t count,
                                   uint8_t* buff) {
    const uint32_t end = start + (*it)->GetRawDataSize();
    m_cursor = Cursor{true, true, it, start};
    return (*it)->Copy(index - start + (*it)->GetHeaderSize(), std::min(count, end - index), buff);
}

uint32_t CFragmentBuffer::Copy(uint32_t index, uint32_t count, uint8_t* buff) {
    if (m_fragments.empty())
        return 0;
    Iterator it = m_fragments.begin();
    uint32_t start = 0;
    bool inBodies = false;
    if (m_cursor.valid && index >= m_cursor.start) {
        it = m_cursor.it;
        start = m_cursor.start;
        inBodies = m_cursor.inBodies;
    }
    if (!inBodies) {
        for (; it != m_fragments.end(); ++it) {
            const uint32_t end = start + (*it)->GetHeaderSize();
            if (index < end)
                return CopyHeader(it, start, index, count, buff);
            start = end;
        }
        it = m_fragments.begin();  // start now lies at the first body byte
    }
    for (; it != m_fragments.end(); ++it) {
        const uint32_t size = (*it)->GetRawDataSize();
        if (size == 0)
            continue;
        if (index < start + size)
            return CopyBody(it, start, index, count, buff);
        start += size;
    }
    return 0;
}

uint8_t CFragmentBuffer::At(uint32_t index) {
    uint8_t byte = 0;
    return Copy(index, 1, &byte) == 1 ? byte : 0;
}

uint32_t CFragmentBuffer::Write(uint8_t* /*data*/, uint32_t /*size*/) {
    return 0;
}

void CFragmentBuffer::Clear() {
    m_fragments.clear();
    m_cursor.valid = false;
}
