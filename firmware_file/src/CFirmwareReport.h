// What a parse found in one firmware file, for people and for scripts: a JSON
// document (schema 1) and one text line per check that failed. The report
// copies what it needs at construction and keeps no link to the parsed file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CFirmwareFile;
class CFirmwareFragment;
class CFirmwareFragmentLogical;

class CFirmwareReport {
  public:
    // Describes the parsed `file`, read from `path`, of `size` bytes (-1 when
    // its size could not be learned).
    CFirmwareReport(CFirmwareFile& file, std::string path, long long size);
    // Describes a file that was not parsed; `message` says why.
    CFirmwareReport(std::string path, long long size, std::string message);

    // Every check held and nothing was left over.
    bool Ok() const { return m_ok; }
    // The schema-1 JSON document, ended by a line feed.
    std::string Json() const;
    // One line per failed check, naming the fragment and the check, without line ends.
    std::vector<std::string> FailureLines() const;
    // The listing for people: a line of column names, then one line per fragment (the
    // logical header first, as "-"), each ended by a line feed. Fragments whose header
    // could not be read show "?" for the fields it holds.
    std::string Listing() const;

    // One fragment as the report shows it. Fields the header could not supply
    // (its checks stopped before they were read) are empty.
    struct Fragment {
        bool logical = false;
        uint32_t offset = 0;  // position of the header in the file
        std::optional<uint32_t> headerLength;
        bool fieldsRead = false;  // name and the fields below come from a checked header
        std::string name;
        uint32_t type = 0, release = 0, version = 0, build = 0, day = 0, month = 0, year = 0;
        uint32_t bodyOffset = 0, bodyLength = 0, article = 0, count = 0;
        std::optional<uint16_t> storedHeaderCrc, computedHeaderCrc;
        std::optional<uint16_t> storedBodyCrc, computedBodyCrc;
        // The check that failed, in the words of the text lines; empty when all held.
        std::string problem;
    };

  private:
    void AddLogical(CFirmwareFragmentLogical& logical, long long size);
    void AddFailed(CFirmwareFragment& fragment, long long size);
    void CheckAccounting(uint32_t announced);
    void WalkDamaged(CFirmwareFile& file, long long size);
    uint64_t Unclaimed() const;

    std::string m_path;
    long long m_size;
    std::string m_kind;
    bool m_ok = false;
    std::vector<std::string> m_messages;
    std::optional<Fragment> m_logical;
    std::vector<Fragment> m_fragments;
    // When the logical data fail their CRC: the fragments found in them all the same,
    // each with its own checks, up to the first that fails.
    std::vector<Fragment> m_walked;
    // A logical file's problem that belongs to no single fragment (a count
    // or length that does not add up); empty otherwise.
    std::string m_accounting;
};
