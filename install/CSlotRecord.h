// What the installer records of each slot it wrote, in STATE/slot-NAME.json:
// the version, SHA-256 and size of the image, the ids of the keys that signed
// it, when it was installed, and whether a boot of it was confirmed good; and
// beside it, in STATE/slot-NAME.sbom, the bill of materials its package
// carried, byte for byte.
// Written atomically (a temporary file renamed over the old one, then the
// directory synced); removed before a slot is written again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SlotRecord {
    std::string version;  // "1.2.3"
    uint32_t packed = 0;  // the same, as the package's version line holds it
    std::string sha256;
    uint64_t size = 0;
    std::vector<std::string> keyIds;
    int64_t installed = 0;  // seconds since the epoch
    bool confirmed = false;
};

class CSlotRecord {
  public:
    CSlotRecord(std::string state, const std::string& slot)
        : m_state(std::move(state)),
          m_path(m_state + "/slot-" + slot + ".json"),
          m_sbomPath(m_state + "/slot-" + slot + ".sbom") {}

    // False when there is no record; with Problem() when there is one that
    // cannot be read.
    bool Read(SlotRecord& record);
    bool Write(const SlotRecord& record);
    // Removes the record and the bill of materials beside it.
    bool Remove();
    const std::string& Path() const { return m_path; }

    // The bill of materials of the package installed: written before the record
    // (a record stands for the slot's whole state); read back at most `max`
    // bytes. ReadSbom is false when there is none, with Problem() when there
    // is one that cannot be read.
    bool WriteSbom(const std::string& document);
    bool ReadSbom(size_t max, std::string& document);
    const std::string& SbomPath() const { return m_sbomPath; }
    const std::string& Problem() const { return m_problem; }

    // Makes the state directory when it is missing; false with `problem`.
    static bool MakeState(const std::string& state, std::string& problem);

  private:
    bool Fail(const std::string& problem, const std::string* path = nullptr);
    bool Unlink(const std::string& path);

    std::string m_state;
    std::string m_path;
    std::string m_sbomPath;
    std::string m_problem;
};
