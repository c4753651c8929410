#include "CChunkIndex.h"

#include <algorithm>

#include "Parse.h"

void CChunkIndex::Builder::Update(const uint8_t* data, size_t size) {
    while (size > 0) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(size, m_chunk - m_fill));
        m_sha256.Update(data, take);
        m_fill += take;
        data += take;
        size -= take;
        if (m_fill == m_chunk) {
            m_index += m_sha256.Digest();
            m_sha256 = CSha256();
            m_fill = 0;
        }
    }
}

std::string CChunkIndex::Builder::Finish() {
    if (m_fill > 0)
        m_index += m_sha256.Digest();
    m_sha256 = CSha256();
    m_fill = 0;
    std::string index;
    index.swap(m_index);
    return index;
}

std::string CChunkIndex::ParseChunk(const std::string& text, uint64_t& chunk) {
    const char last = text.empty() ? '\0' : text.back();
    const unsigned shift = last == 'K' || last == 'k' ? 10 : last == 'M' || last == 'm' ? 20 : 0;
    const std::string digits = shift > 0 ? text.substr(0, text.size() - 1) : text;
    uint64_t value = 0;
    const bool read = Core::Parse::Unsigned(digits, kMaxChunk, value).empty();
    chunk = value << shift;
    if (read && !digits.empty() && chunk >= kMinChunk && chunk <= kMaxChunk &&
        (chunk & (chunk - 1)) == 0)
        return "";
    return "'" + text + "' is not a power of two from 64K to 4M";
}

uint64_t CChunkIndex::IndexSize(uint64_t imageSize, uint64_t chunk) {
    return (imageSize + chunk - 1) / chunk * kDigestSize;
}

std::vector<CPackageHeader::Line> CChunkIndex::Lines(const std::string& index, uint64_t chunk) {
    std::vector<CPackageHeader::Line> lines = Attachment().Describe(index);
    lines.insert(lines.begin(), {kChunkLine, std::to_string(chunk)});
    return lines;
}

bool CChunkIndex::Named(const CPackageHeader& header) {
    return header.Find(kChunkLine) != nullptr || Attachment().Named(header);
}

uint64_t CChunkIndex::ImageSize(const CPackageHeader& header) {
    return header.GetEncoding() == CPackageHeader::Encoding::None ? header.FileSize()
                                                                   : header.TargetSize();
}

PackageError CChunkIndex::Fail(PackageError error, const std::string& problem) {
    m_problem = problem;
    m_index.clear();
    return error;
}

PackageError CChunkIndex::Take(const CPackageHeader& header, std::string data) {
    const std::string* line = header.Find(kChunkLine);
    if (line == nullptr)
        return Fail(PackageError::NotAPackage, "an index is named without index-chunk");
    const std::string refusal = ParseChunk(*line, m_chunk);
    if (!refusal.empty() || line->find_first_not_of("0123456789") != std::string::npos)
        return Fail(PackageError::NotAPackage,
                    std::string(kChunkLine) + ": '" + *line +
                        "' is not a power of two from 65536 to 4194304");
    CPackageAttachment attachment = Attachment();
    m_imageSize = ImageSize(header);
    const uint64_t size = IndexSize(m_imageSize, m_chunk);
    if (attachment.Named(header) && attachment.NamedSize(header) != size)
        return Fail(PackageError::NotAPackage,
                    "index-size: not " + std::to_string(size) + " for " +
                        std::to_string(m_imageSize) + " bytes in chunks of " + *line);
    const PackageError checked = attachment.Check(header, data);
    if (checked != PackageError::Ok)
        return Fail(checked, attachment.Problem());
    m_index = std::move(data);
    m_problem.clear();
    return PackageError::Ok;
}

uint64_t CChunkIndex::LengthOf(uint64_t i) const {
    return std::min(m_chunk, m_imageSize - i * m_chunk);
}
