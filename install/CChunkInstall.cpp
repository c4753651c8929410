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

// Each run of adjacent missing chunks is one read of the source, handed on
// chunk by chunk through the window: a chunk is written once it matched.
PackageError CChunkInstall::FetchRest(int target) {
    for (uint64_t first = 0; first < m_index.Count();) {
        if (m_done[first]) {
            ++first;
            continue;
        }
        uint64_t end = first;
        while (end < m_index.Count() && !m_done[end])
            ++end;
        const uint64_t size = (end - first - 1) * m_index.Chunk() + m_index.LengthOf(end - 1);
        uint64_t chunk = first;
        PackageError failed = PackageError::Ok;
        m_window.clear();
        const PackageError read = m_source.Read(
            m_offset + first * m_index.Chunk(), size, [&](const uint8_t* data, size_t count) {
                while (count > 0) {
                    const size_t take = static_cast<size_t>(
                        std::min<uint64_t>(count, m_index.LengthOf(chunk) - m_window.size()));
                    m_window.append(reinterpret_cast<const char*>(data), take);
                    data += take;
                    count -= take;
                    if (m_window.size() < m_index.LengthOf(chunk))
                        continue;
                    if (!Matches(chunk)) {
                        failed = Fail(PackageError::ImageMismatch,
                                      "chunk " + std::to_string(chunk) +
                                          " does not match the index");
                        return false;
                    }
                    failed = WriteChunk(target, chunk);
                    if (failed != PackageError::Ok)
                        return false;
                    m_counts.fetched += m_window.size();
                    m_window.clear();
                    ++chunk;
                }
                return true;
            });
        if (failed != PackageError::Ok)
            return failed;
        if (read != PackageError::Ok)
            return Fail(read, m_source.Problem());
        first = end;
    }
    return PackageError::Ok;
}

PackageError CChunkInstall::Run(const std::string& target, const std::string& booted,
                                uint64_t bootedSize) {
    m_counts = Counts();
    m_done.assign(static_cast<size_t>(m_index.Count()), false);
    m_reusable.clear();
    const Core::File::ClosedAtEnd out{open(target.c_str(), O_RDWR | O_CLOEXEC)};
    if (out.fd < 0)
        return Fail(PackageError::WriteFailed, std::strerror(errno));
    FindPresent(out.fd);
    const Core::File::ClosedAtEnd in{booted.empty() ? -1 : open(booted.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd >= 0) {
        FindReusable(in.fd, bootedSize);
        const PackageError copied = CopyReusable(out.fd, in.fd);
        if (copied != PackageError::Ok)
            return copied;
    }
    const PackageError fetched = FetchRest(out.fd);
    if (fetched != PackageError::Ok)
        return fetched;
    if (fdatasync(out.fd) != 0)
        return Fail(PackageError::WriteFailed, std::strerror(errno));
    return PackageError::Ok;
}
