// One slot of the system description: its device found (a path, or a
// partition by PARTLABEL= or PARTUUID= through libblkid), and its bytes read,
// digested and mapped. Writing goes through CSlotWriter.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "CSystemDescription.h"

class CSlot {
  public:
    explicit CSlot(const SlotDescription& entry) : m_described(entry) {}

    // Finds the slot's device; false with Problem() when it cannot be found.
    bool Resolve();
    const SlotDescription& Described() const { return m_described; }
    // The path of its device or file, once resolved.
    const std::string& Path() const { return m_path; }
    const std::string& Problem() const { return m_problem; }

    // True when `other` is the same file or device as this one (both resolved).
    bool SameAs(const CSlot& other) const;
    // True when the file system at `/` is mounted from this slot's device.
    bool HoldsRoot() const;
    // The slot's whole size in bytes (a file's length, a device's capacity); -1
    // with Problem() when it cannot be told.
    int64_t Capacity();

    // The SHA-256 (hexadecimal) of the `size` bytes from `offset` on; false
    // with Problem() when they cannot all be read.
    bool Digest(uint64_t size, std::string& sha256, uint64_t offset = 0);

    // The first `size` bytes mapped read-only, for a delta's base; null with
    // Problem() when they cannot be.
    struct Mapping {
        const uint8_t* data = nullptr;
        size_t size = 0;
        ~Mapping();
    };
    std::unique_ptr<Mapping> Map(uint64_t size);

  private:
    bool Fail(const std::string& problem);
    bool Identity(dev_t& device, ino_t& inode, bool& block) const;

    SlotDescription m_described;
    std::string m_path;
    std::string m_problem;
};
