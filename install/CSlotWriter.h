// Writes an image into a slot. A raw slot (a partition, or a file standing in
// for one) is opened as it is and written from its start in place: it is
// never created, truncated or renamed. A file slot (a file in a mounted file
// system) gets the image in a temporary file beside it, renamed over it by
// Finish, so it holds the old file or the complete new one. Finish returns
// only once the bytes are on the medium.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "CSlot.h"
#include "Output.h"

class CSlotWriter {
  public:
    explicit CSlotWriter(const CSlot& slot) : m_slot(slot) {}
    ~CSlotWriter();
    CSlotWriter(const CSlotWriter&) = delete;
    CSlotWriter& operator=(const CSlotWriter&) = delete;

    // Opens the slot for writing; false with Problem().
    bool Open();
    // Writes the next `size` bytes; false with Problem().
    bool Write(const uint8_t* data, size_t size);
    // Syncs what was written (and renames a file slot's image into place).
    bool Finish();
    // Gives up: a file slot keeps its old file.
    void Abandon();
    const std::string& Problem() const { return m_problem; }
    uint64_t Written() const { return m_written; }

  private:
    bool Fail(const std::string& cause);

    const CSlot& m_slot;
    int m_fd = -1;                               // a raw slot
    std::unique_ptr<Core::File::Output> m_file;  // a file slot
    uint64_t m_written = 0;
    std::string m_problem;
};
