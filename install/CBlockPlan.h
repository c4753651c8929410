// Where each piece of the chunks an install still lacks comes from: a block of
// the booted slot that has the same hint, found wherever it lies there, or the
// package source. Pieces are the index's 4 KiB blocks when it holds block
// hints, else whole chunks (all from the source).
//
// The booted slot is hashed once, a block at every 4 KiB; only the hints of
// blocks still needed are kept, sorted, so memory stays proportional to the
// index whatever the slot holds. A block found is only a candidate: the chunk
// built from it is checked against its digest before it is written
// (CChunkInstall). The last block of an image, when short, is always fetched.
#pragma once

#include <cstdint>
#include <vector>

#include "CChunkIndex.h"

class CBlockPlan {
  public:
    static constexpr uint64_t kFetch = UINT64_MAX;

    // Every piece of the chunks not `done` from the source, to begin with.
    CBlockPlan(const CChunkIndex& index, const std::vector<bool>& done);

    // Looks the missing blocks up in the booted slot at `booted`, `bootedSize`
    // bytes long; a slot that cannot be read gives what was found before.
    void FindInBooted(int booted, uint64_t bootedSize);
    // All pieces of `chunk` from the source.
    void FetchChunk(uint64_t chunk);

    uint64_t Unit() const { return m_unit; }
    uint64_t Pieces() const { return m_from.size(); }
    uint64_t ChunkOf(uint64_t piece) const { return piece * m_unit / m_index.Chunk(); }
    uint64_t FirstOf(uint64_t chunk) const { return chunk * m_index.Chunk() / m_unit; }
    // The booted slot's offset of piece `piece`, or kFetch.
    uint64_t From(uint64_t piece) const { return m_from[piece]; }
    // The end of the run from `piece` that is read in one go: booted blocks
    // that follow each other there, within one chunk; or pieces from the
    // source, across chunks not done.
    uint64_t RunEnd(uint64_t piece) const;
    // The image's bytes from piece `first` to piece `end`.
    uint64_t Bytes(uint64_t first, uint64_t end) const;

  private:
    std::vector<uint32_t> Wanted() const;

    const CChunkIndex& m_index;
    const std::vector<bool>& m_done;
    uint64_t m_unit;
    std::vector<uint64_t> m_from;  // per piece: booted offset or kFetch
};
