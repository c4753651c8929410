// A read-only CBuffer that presents a list of fragments as one byte sequence:
// all their headers in list order, then all their bodies in the same order.
// The buffer owns the fragments added to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

#include "CBuffer.h"
#include "CFirmwareFragment.h"

class CFragmentBuffer : public CBuffer {
  public:
    CFragmentBuffer() = default;
    ~CFragmentBuffer() override;
    CFragmentBuffer(const CFragmentBuffer&) = delete;
    CFragmentBuffer& operator=(const CFragmentBuffer&) = delete;

    // Appends `frag` and takes ownership of it.
    void AddFragment(CFirmwareFragment* frag);
    size_t NumFragments() const { return m_fragments.size(); }

    uint8_t At(uint32_t index) override;
    uint32_t Size() override;
    // Copies from one header or one body only, at most up to its end.
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    uint32_t Write(uint8_t* data, uint32_t size) override;
    // Gives up the fragments without destroying them.
    void Clear() override;

  private:
    using Iterator = std::list<CFirmwareFragment*>::iterator;

    // Where the previous Copy found its byte, so that reading the sequence
    // front to back does not walk the list from its start on every call.
    struct Cursor {
        bool valid = false;
        bool inBodies = false;
        Iterator it;
        uint32_t start = 0;
    };

    uint32_t CopyHeader(Iterator it, uint32_t start, uint32_t index, uint32_t count, uint8_t* buff);
    uint32_t CopyBody(Iterator it, uint32_t start, uint32_t index, uint32_t count, uint8_t* buff);

    std::string m_name;
    std::list<CFirmwareFragment*> m_fragments;
    Cursor m_cursor;
};
