#include "CBlockPlan.h"

#include <sys/types.h>

#include <algorithm>
#include <string>

#include "FilePath.h"

CBlockPlan::CBlockPlan(const CChunkIndex& index, const std::vector<bool>& done)
    : m_index(index),
      m_done(done),
      m_unit(index.Block() > 0 ? index.Block() : index.Chunk()),
      m_from(static_cast<size_t>(index.Block() > 0 ? index.Blocks() : index.Count()), kFetch) {}

// The whole blocks of the chunks not done, in the order of their hints (4 bytes
// each: an image has at most 2^20 blocks of 4 KiB).
std::vector<uint32_t> CBlockPlan::Wanted() const {
    std::vector<uint32_t> wanted;
    for (uint64_t i = 0; i < m_index.Blocks(); ++i)
        if (!m_done[ChunkOf(i)] && (i + 1) * m_index.Block() <= m_index.ImageSize())
            wanted.push_back(static_cast<uint32_t>(i));
    std::sort(wanted.begin(), wanted.end(), [this](uint32_t a, uint32_t b) {
        const uint64_t x = m_index.HintOf(a), y = m_index.HintOf(b);
        return x < y || (x == y && a < b);
    });
    return wanted;
}

void CBlockPlan::FindInBooted(int booted, uint64_t bootedSize) {
    const size_t block = static_cast<size_t>(m_index.Block());
    if (block == 0)
        return;
    const std::vector<uint32_t> wanted = Wanted();
    const auto below = [this](uint32_t piece, uint64_t hint) { return m_index.HintOf(piece) < hint; };
    size_t found = 0;
    std::string piece;
    for (uint64_t at = 0; at + block <= bootedSize && found < wanted.size();
         at += m_index.Chunk()) {
        piece.resize(static_cast<size_t>(std::min(m_index.Chunk(), (bootedSize - at) / block * block)));
        if (Core::File::ReadAt(booted, &piece[0], piece.size(), at) !=
            static_cast<ssize_t>(piece.size()))
            return;
        for (size_t off = 0; off < piece.size(); off += block) {
            const uint64_t hint = CChunkIndex::Hint(piece.data() + off, block);
            auto it = std::lower_bound(wanted.begin(), wanted.end(), hint, below);
            // Blocks of one hint are all found at the first block that has it.
            if (it == wanted.end() || m_index.HintOf(*it) != hint || m_from[*it] != kFetch)
                continue;
            for (; it != wanted.end() && m_index.HintOf(*it) == hint; ++it, ++found)
                m_from[*it] = at + off;
        }
    }
}

void CBlockPlan::FetchChunk(uint64_t chunk) {
    const uint64_t end = std::min<uint64_t>(FirstOf(chunk + 1), m_from.size());
    for (uint64_t piece = FirstOf(chunk); piece < end; ++piece)
        m_from[piece] = kFetch;
}

uint64_t CBlockPlan::RunEnd(uint64_t piece) const {
    uint64_t end = piece + 1;
    if (m_from[piece] == kFetch) {
        while (end < m_from.size() && m_from[end] == kFetch && !m_done[ChunkOf(end)])
            ++end;
        return end;
    }
    while (end < m_from.size() && ChunkOf(end) == ChunkOf(piece) &&
           m_from[end] == m_from[end - 1] + m_unit)
        ++end;
    return end;
}

uint64_t CBlockPlan::Bytes(uint64_t first, uint64_t end) const {
    return std::min(end * m_unit, m_index.ImageSize()) - first * m_unit;
}
