// A write-only CBuffer over an open output: every byte written goes straight
// to the output's descriptor. Nothing can be read back.
#pragma once

#include "CBuffer.h"
#include "Core.h"

class COutputBuffer : public CBuffer {
  public:
    explicit COutputBuffer(Core::File::Output& output) : m_output(output) {}

    uint8_t At(uint32_t index) override;
    uint32_t Size() override;
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    // Takes all `size` bytes, or none when the output could not be written.
    uint32_t Write(uint8_t* data, uint32_t size) override;
    void Clear() override;

  private:
    Core::File::Output& m_output;
};
