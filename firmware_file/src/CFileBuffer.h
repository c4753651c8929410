// A CBuffer over a file on disk. Every operation opens the file by its path,
// does its work and closes it again, so no descriptor is held between calls
// and each call sees the file as it is on disk at that moment.
#pragma once

#include <string>

#include "CBuffer.h"

class CFileBuffer : public CBuffer {
  public:
    explicit CFileBuffer(std::string name);

    uint8_t At(uint32_t index) override;
    uint32_t Size() override;
    uint32_t Copy(uint32_t index, uint32_t count, uint8_t* buff) override;
    // Appends and flushes; returns 0 when the data could not be flushed and
    // closed, so a full disk is never counted as written.
    uint32_t Write(uint8_t* data, uint32_t size) override;
    void Clear() override;

    const std::string& GetName() const { return m_name; }

  private:
    std::string m_name;
};
