#include "CChunkIndex.h"

#include <algorithm>

#include "Parse.h"

// A chunk is a whole number of blocks, so each piece taken lies in one chunk
// and one block.
void CChunkIndex::Builder::Update(const uint8_t* data, size_t size) {
    const uint64_t block = m_block > 0 ? m_block : m_chunk;
    while (size > 0) {
        const size_t take = static_cast<size_t>(
            std::min<uint64_t>({size, m_chunk - m_fill, block - m_blockFill}));
        m_sha256.Update(data, take);
        if (m_block > 0)
            m_blockSha256.Update(data, take);
        m_fill += take;
        m_blockFill += take;
        data += take;
        size -= take;
        if (m_blockFill == block)
            EndBlock();
        if (m_fill == m_chunk) {
            m_index += m_sha256.Digest();
            m_sha256 = CSha256();
            m_fill = 0;
        }
    }
}

void CChunkIndex::Builder::EndBlock() {
    if (m_block > 0)
        m_hints += m_blockSha256.Digest().substr(0, kHintSize);
    m_blockSha256 = CSha256();
    m_blockFill = 0;
}

std::string CChunkIndex::Builder::Finish() {
    if (m_fill > 0)
        m_index += m_sha256.Digest();
    if (m_blockFill > 0)
        EndBlock();
    m_sha256 = CSha256();
    m_fill = 0;
    std::string index = std::move(m_index) + m_hints;
    m_index.clear();
    m_hints.clear();
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

uint64_t CChunkIndex::IndexSize(uint64_t imageSize, uint64_t chunk, uint64_t block) {
    const uint64_t hints = block == 0 ? 0 : (imageSize + block - 1) / block * kHintSize;
    return (imageSize + chunk - 1) / chunk * kDigestSize + hints;
}

std::vector<CPackageHeader::Line> CChunkIndex::Lines(const std::string& index, uint64_t chunk,
                                                     uint64_t block) {
    std::vector<CPackageHeader::Line> lines = Attachment().Describe(index);
    lines.insert(lines.begin(), {kChunkLine, std::to_string(chunk)});
    if (block != 0)
        lines.insert(lines.begin() + 1, {kBlockLine, std::to_string(block)});
    return lines;
}

uint64_t CChunkIndex::Hint(const void* data, size_t size) {
    const std::string digest = CSha256::Of(data, size);
    uint64_t hint = 0;
    for (size_t i = 0; i < kHintSize && i < digest.size(); ++i)
        hint = hint << 8 | static_cast<uint8_t>(digest[i]);
    return hint;
}

uint64_t CChunkIndex::HintOf(uint64_t i) const {
    const size_t at = static_cast<size_t>(m_count * kDigestSize + i * kHintSize);
    uint64_t hint = 0;
    for (size_t k = 0; k < kHintSize; ++k)
        hint = hint << 8 | static_cast<uint8_t>(m_index[at + k]);
    return hint;
}

bool CChunkIndex::Named(const CPackageHeader& header) {
    return header.Find(kChunkLine) != nullptr || header.Find(kBlockLine) != nullptr ||
           Attachment().Named(header);
}

uint64_t CChunkIndex::ImageSize(const CPackageHeader& header) {
    return header.GetEncoding() == CPackageHeader::Encoding::None ? header.FileSize()
                                                                   : header.TargetSize();
}

PackageError CChunkIndex::Fail(PackageError error, const std::string& problem) {
    m_problem = problem;
    m_index.clear();
    m_count = 0;
    m_block = 0;
    return error;
}

std::string CChunkIndex::TakeBlock(const CPackageHeader& header) {
    const std::string* line = header.Find(kBlockLine);
    m_block = line == nullptr ? 0 : kBlock;
    if (line == nullptr || *line == std::to_string(kBlock))
        return "";
    return std::string(kBlockLine) + ": '" + *line + "' is not " + std::to_string(kBlock);
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
    const std::string block = TakeBlock(header);
    if (!block.empty())
        return Fail(PackageError::NotAPackage, block);
    CPackageAttachment attachment = Attachment();
    m_imageSize = ImageSize(header);
    const uint64_t size = IndexSize(m_imageSize, m_chunk, m_block);
    if (attachment.Named(header) && attachment.NamedSize(header) != size)
        return Fail(PackageError::NotAPackage,
                    "index-size: not " + std::to_string(size) + " for " +
                        std::to_string(m_imageSize) + " bytes in chunks of " + *line +
                        (m_block > 0 ? " with block hints" : ""));
    const PackageError checked = attachment.Check(header, data);
    if (checked != PackageError::Ok)
        return Fail(checked, attachment.Problem());
    m_index = std::move(data);
    m_count = (m_imageSize + m_chunk - 1) / m_chunk;
    m_problem.clear();
    return PackageError::Ok;
}

uint64_t CChunkIndex::LengthOf(uint64_t i) const {
    return std::min(m_chunk, m_imageSize - i * m_chunk);
}
