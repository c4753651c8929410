// A read-only CBuffer over bytes the caller holds (a package a device has
// downloaded into memory, a header block being read). The bytes are not
// copied: they must stay valid and unchanged while the buffer is used. Write
// takes nothing and Clear does nothing, as for every read-only view.
//
//   CMemoryBuffer package(bytes, size);
//   check.Run(package);
#pragma once

#include <cstddef>
#include <cstdint>

#include "CBuffer.h"

class CMemoryBuffer : public CBuffer {
  public:
    CMemoryBuffer(const void* data, size_t size);

    uint8_t At(uint32_t index) override;
    // The number of bytes, cut to 32 bits at UINT32_MAX.
    uint32_t Size() override;
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    uint32_t Write(uint8_t* data, uint32_t size) override;
    void Clear() override;

  private:
    const uint8_t* m_data;
    uint32_t m_size;
};
