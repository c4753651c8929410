#include "CChunkInstall.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "CSha256.h"
#include "FilePath.h"

PackageError CChunkInstall::Fail(PackageError error, const std::string& problem) {
    m_problem = problem;
    return error;
}

bool CChunkInstall::ReadChunk(int fd, uint64_t at, uint64_t size) {
    m_window.resize(static_cast<size_t>(size));
    return Core::File::ReadAt(fd, &m_window[0], m_window.size(), at) ==
           static_cast<ssize_t>(m_window.size());
}

bool CChunkInstall::Matches(uint64_t chunk) const {
    return m_window.size() == m_index.LengthOf(chunk) &&
           CSha256::Of(m_window.data(), m_window.size()) == m_index.DigestOf(chunk);
}

bool CChunkInstall::FindPresent(int target) {
    for (uint64_t i = 0; i < m_index.Count(); ++i) {
        m_done[i] = ReadChunk(target, i * m_index.Chunk(), m_index.LengthOf(i)) && Matches(i);
        if (m_done[i])
            m_counts.present += m_window.size();
    }
    return true;
}

// Only digests of chunks still needed are kept, so the map is bounded by the
// index whatever the booted slot holds.
void CChunkInstall::FindReusable(int booted, uint64_t bootedSize) {
    std::unordered_map<std::string, uint64_t> wanted;  // digest → its length
    for (uint64_t i = 0; i < m_index.Count(); ++i)
        if (!m_done[i])
            wanted.emplace(m_index.DigestOf(i), m_index.LengthOf(i));
    const uint64_t last = m_index.LengthOf(m_index.Count() > 0 ? m_index.Count() - 1 : 0);
    const bool shortLast = last < m_index.Chunk() && !wanted.empty();
    for (uint64_t at = 0; at < bootedSize && m_reusable.size() < wanted.size();
         at += m_index.Chunk()) {
        const uint64_t size = std::min(m_index.Chunk(), bootedSize - at);
        if (!ReadChunk(booted, at, size))
            return;
        const std::string digest = CSha256::Of(m_window.data(), m_window.size());
        if (wanted.count(digest) != 0 && wanted[digest] == size)
            m_reusable.emplace(digest, at);
        if (shortLast && size >= last) {
            const std::string head = CSha256::Of(m_window.data(), static_cast<size_t>(last));
            if (wanted.count(head) != 0 && wanted[head] == last)
                m_reusable.emplace(head, at);
        }
    }
}

PackageError CChunkInstall::WriteChunk(int target, uint64_t chunk) {
    const uint64_t at = chunk * m_index.Chunk();
    size_t done = 0;
    while (done < m_window.size()) {
        const ssize_t wrote =
            pwrite(target, m_window.data() + done, m_window.size() - done,
                   static_cast<off_t>(at + done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return Fail(PackageError::WriteFailed, std::strerror(wrote < 0 ? errno : ENOSPC));
        done += static_cast<size_t>(wrote);
    }
    m_done[chunk] = true;
    return PackageError::Ok;
}

PackageError CChunkInstall::CopyReusable(int target, int booted) {
    for (uint64_t i = 0; i < m_index.Count(); ++i) {
        if (m_done[i])
            continue;
        const auto found = m_reusable.find(m_index.DigestOf(i));
        // Read again and checked again: the booted slot is only trusted as far as it matches.
        if (found == m_reusable.end() || !ReadChunk(booted, found->second, m_index.LengthOf(i)) ||
            !Matches(i))
            continue;
        const PackageError wrote = WriteChunk(target, i);
        if (wrote != PackageError::Ok)
            return wrote;
        m_counts.reused += m_window.size();
    }
    return PackageError::Ok;
}

// The chunk being put together is the window: `size` bytes more of it at
// m_at, from the booted slot when `reused`, else from the source. Each
// chunk is ended once it is whole.
PackageError CChunkInstall::Append(int target, const uint8_t* data, size_t size, bool reused) {
    while (size > 0) {
        if (m_window.empty()) {
            m_chunk = m_at / m_index.Chunk();
            m_windowReused = 0;
        }
        const size_t take = static_cast<size_t>(
            std::min<uint64_t>(size, m_index.LengthOf(m_chunk) - m_window.size()));
        m_window.append(reinterpret_cast<const char*>(data), take);
        (reused ? m_windowReused : m_counts.fetched) += take;
        m_at += take;
        data += take;
        size -= take;
        if (m_window.size() < m_index.LengthOf(m_chunk))
            continue;
        const PackageError ended = EndChunk(target);
        if (ended != PackageError::Ok)
            return ended;
    }
    return PackageError::Ok;
}

// A whole chunk is written once it matches the index. One that took blocks
// of the booted slot and does not (hints of other blocks, a slot that changed
// since) is fetched whole afterwards; one read from the source alone is the
// package's fault.
PackageError CChunkInstall::EndChunk(int target) {
    if (Matches(m_chunk)) {
        const PackageError wrote = WriteChunk(target, m_chunk);
        if (wrote != PackageError::Ok)
            return wrote;
        m_counts.reused += m_windowReused;
    } else if (m_windowReused > 0) {
        m_again.push_back(m_chunk);
    } else {
        return Fail(PackageError::ImageMismatch,
                    "chunk " + std::to_string(m_chunk) + " does not match the index");
    }
    m_window.clear();
    return PackageError::Ok;
}

PackageError CChunkInstall::CopyRun(int target, int booted, uint64_t first, uint64_t end) {
    // A short read leaves zeros, and the chunk then fails its digest.
    m_copy.assign(static_cast<size_t>(m_plan->Bytes(first, end)), '\0');
    Core::File::ReadAt(booted, &m_copy[0], m_copy.size(), m_plan->From(first));
    return Append(target, reinterpret_cast<const uint8_t*>(m_copy.data()), m_copy.size(), true);
}

// A run of pieces missing from the booted slot is one read of the source,
// across chunks where whole ones follow each other.
PackageError CChunkInstall::FetchRun(int target, uint64_t first, uint64_t end) {
    PackageError failed = PackageError::Ok;
    const PackageError read = m_source.Read(
        m_offset + first * m_plan->Unit(), m_plan->Bytes(first, end),
        [&](const uint8_t* data, size_t count) {
            failed = Append(target, data, count, false);
            return failed == PackageError::Ok;
        });
    if (failed != PackageError::Ok)
        return failed;
    if (read != PackageError::Ok)
        return Fail(read, m_source.Problem());
    return PackageError::Ok;
}

// Puts each chunk still missing together in image order, piece by piece as
// the plan says.
PackageError CChunkInstall::Assemble(int target, int booted) {
    m_window.clear();
    for (uint64_t piece = 0; piece < m_plan->Pieces();) {
        const uint64_t chunk = m_plan->ChunkOf(piece);
        if (m_done[chunk]) {
            piece = m_plan->FirstOf(chunk + 1);
            continue;
        }
        const uint64_t end = m_plan->RunEnd(piece);
        m_at = piece * m_plan->Unit();
        const PackageError put = m_plan->From(piece) == CBlockPlan::kFetch
                                     ? FetchRun(target, piece, end)
                                     : CopyRun(target, booted, piece, end);
        if (put != PackageError::Ok)
            return put;
        piece = end;
    }
    return PackageError::Ok;
}

// The chunks that took blocks of the booted slot and failed, fetched whole.
PackageError CChunkInstall::AssembleAgain(int target) {
    if (m_again.empty())
        return PackageError::Ok;
    for (const uint64_t chunk : m_again)
        m_plan->FetchChunk(chunk);
    m_again.clear();
    return Assemble(target, -1);
}

PackageError CChunkInstall::PutTogether(int target, int booted, uint64_t bootedSize) {
    CBlockPlan plan(m_index, m_done);
    if (booted >= 0)
        plan.FindInBooted(booted, bootedSize);
    m_plan = &plan;
    PackageError assembled = Assemble(target, booted);
    if (assembled == PackageError::Ok)
        assembled = AssembleAgain(target);
    m_plan = nullptr;
    return assembled;
}

PackageError CChunkInstall::Run(const std::string& target, const std::string& booted,
                                uint64_t bootedSize) {
    m_counts = Counts();
    m_done.assign(static_cast<size_t>(m_index.Count()), false);
    m_reusable.clear();
    m_again.clear();
    const Core::File::ClosedAtEnd out{open(target.c_str(), O_RDWR | O_CLOEXEC)};
    if (out.fd < 0)
        return Fail(PackageError::WriteFailed, std::strerror(errno));
    FindPresent(out.fd);
    const Core::File::ClosedAtEnd in{booted.empty() ? -1 : open(booted.c_str(), O_RDONLY | O_CLOEXEC)};
    // Block hints find every block an aligned chunk holds as well, so the
    // booted slot is hashed once: at chunk steps without them, else at 4 KiB.
    if (in.fd >= 0 && m_index.Block() == 0) {
        FindReusable(in.fd, bootedSize);
        const PackageError copied = CopyReusable(out.fd, in.fd);
        if (copied != PackageError::Ok)
            return copied;
    }
    const PackageError assembled = PutTogether(out.fd, in.fd, bootedSize);
    if (assembled != PackageError::Ok)
        return assembled;
    if (fdatasync(out.fd) != 0)
        return Fail(PackageError::WriteFailed, std::strerror(errno));
    return PackageError::Ok;
}
