// Opens a slot as the output an image is written into. A raw slot (a
// partition, or a file standing in for one) is opened as it is and written
// from its start in place, as a stream: it is never created, truncated or
// renamed. A file slot (a file in a mounted file system) gets the image in a
// temporary file beside it, renamed over it when the output is put in place,
// so it holds the old file or the complete new one. The checked package's
// image goes into Output() by the rule of every writer of checked images
// (CPackageCheck::Run), which also puts the output in place, synced.
#pragma once

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
    // The open slot as an output.
    Core::File::Output& Output() { return *m_output; }
    // Makes what was written durable once more and closes the slot; false with Problem().
    bool Finish();
    // Gives up: a file slot keeps its old file.
    void Abandon();
    // Takes the output's cause of failure as the problem; returns false.
    bool OutputFailed() { return Fail(m_output->Cause()); }
    const std::string& Problem() const { return m_problem; }

  private:
    bool Fail(const std::string& cause);

    const CSlot& m_slot;
    int m_fd = -1;  // a raw slot, which the output writes through
    std::unique_ptr<Core::File::Output> m_output;
    std::string m_problem;
};
