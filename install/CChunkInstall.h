// Writes the image of a package with a chunk index into a raw slot (or the
// partial file of a file slot) chunk by chunk, each chunk checked against the index before it is written, and only
// the chunks the slot does not already hold:
//
//   chunks the target already holds (an install cut short) → kept ("present")
//   with block hints in the index: each block of the other chunks found
//   anywhere in the booted slot (CBlockPlan) → copied ("reused"), the chunk
//   put together checked before it is written and fetched whole if it fails;
//   without: chunks found in the booted slot at any chunk-aligned offset →
//   copied ("reused")
//   the rest → read from the package source, adjacent ones in one read ("fetched")
//
// Memory stays the index, a map of the digests still needed or the plan
// (some 24 bytes a block still needed), and a chunk or two.
// The caller marks the slot bad before, and reads it back whole after.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "CBlockPlan.h"
#include "CChunkIndex.h"
#include "CPackageSource.h"
#include "PackageError.h"

class CChunkInstall {
  public:
    struct Counts {
        uint64_t present = 0;  // bytes the target held already
        uint64_t reused = 0;   // bytes copied from the booted slot
        uint64_t fetched = 0;  // bytes read from the package
    };

    // `offset`: where the image starts in the package (the header's length).
    CChunkInstall(CPackageSource& source, const CChunkIndex& index, uint64_t offset)
        : m_source(source), m_index(index), m_offset(offset) {}

    // Writes the image into the raw slot or file at `target`, reusing chunks of the
    // slot at `booted` (empty: none) of `bootedSize` bytes; Ok, or the error
    // with Problem(): ImageMismatch for a chunk of the package that does not
    // match the index, WriteFailed when the target cannot be read or written,
    // the source's error when it cannot be read.
    PackageError Run(const std::string& target, const std::string& booted, uint64_t bootedSize);
    const Counts& GetCounts() const { return m_counts; }
    const std::string& Problem() const { return m_problem; }

  private:
    PackageError Fail(PackageError error, const std::string& problem);
    // Reads `size` bytes at `at` of `fd`; false on a short read.
    bool ReadChunk(int fd, uint64_t at, uint64_t size);
    bool Matches(uint64_t chunk) const;
    // Marks the chunks the target holds as done.
    bool FindPresent(int target);
    // Maps each missing chunk's digest to an offset of the booted slot holding it.
    void FindReusable(int booted, uint64_t bootedSize);
    PackageError CopyReusable(int target, int booted);
    // The chunks still missing, from the booted slot's blocks and the source.
    PackageError PutTogether(int target, int booted, uint64_t bootedSize);
    PackageError Assemble(int target, int booted);
    PackageError AssembleAgain(int target);
    PackageError CopyRun(int target, int booted, uint64_t first, uint64_t end);
    PackageError FetchRun(int target, uint64_t first, uint64_t end);
    PackageError Append(int target, const uint8_t* data, size_t size, bool reused);
    PackageError EndChunk(int target);
    PackageError WriteChunk(int target, uint64_t chunk);

    CPackageSource& m_source;
    const CChunkIndex& m_index;
    uint64_t m_offset;
    std::vector<bool> m_done;
    std::unordered_map<std::string, uint64_t> m_reusable;  // digest → booted offset
    std::string m_window;  // one chunk
    CBlockPlan* m_plan = nullptr;  // during PutTogether
    uint64_t m_at = 0;             // the image offset the window grows at
    uint64_t m_chunk = 0;          // the chunk in the window
    uint64_t m_windowReused = 0;   // its bytes from the booted slot
    std::string m_copy;            // blocks read from the booted slot
    std::vector<uint64_t> m_again;  // chunks to fetch whole
    Counts m_counts;
    std::string m_problem;
};
