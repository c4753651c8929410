#include "CPackageStream.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>

#include "CImageDigest.h"
#include "CMemoryBuffer.h"
#include "CSha256.h"

namespace {

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

CPackageStream::CPackageStream() = default;
CPackageStream::~CPackageStream() = default;

void CPackageStream::Reset() {
    m_result = Result();
    m_phase = Phase::Header;
    m_headerFill = 0;
    m_header = CPackageHeader();
    m_digest.reset();
    m_block = nullptr;
    m_blockFill = 0;
    m_handedOn = 0;
    m_decoding = false;
    m_targetDigest.reset();
    m_targetTaken = 0;
    m_targetHanded = 0;
    m_held.clear();
    m_handFailed = false;
    m_overrun = false;
    m_baseSha256 = std::future<std::string>();
    m_basePending = false;
    m_baseError = PackageError::Ok;
    m_index.reset();
    m_chunk.clear();
    m_chunkNumber = 0;
    m_chunkFailed = false;
}

PackageError CPackageStream::Fail(PackageError error) {
    // The base stays the caller's only until the package is finished.
    if (m_baseSha256.valid())
        m_baseSha256.wait();
    m_result.error = error;
    m_phase = Phase::Failed;
    m_digest.reset();
    m_targetDigest.reset();
    m_block = nullptr;
    return error;
}

PackageError CPackageStream::Feed(const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        size_t room = 0;
        uint8_t* space = Space(room);
        if (space == nullptr)
            return m_result.error;
        const size_t count = std::min(room, size);
        std::memcpy(space, bytes, count);
        const PackageError error = Commit(count);
        if (error != PackageError::Ok)
            return error;
        bytes += count;
        size -= count;
    }
    return m_phase == Phase::Failed ? m_result.error : PackageError::Ok;
}

uint8_t* CPackageStream::Space(size_t& room) {
    room = 0;
    if (m_phase == Phase::Header) {
        if (!m_headerBytes)
            m_headerBytes.reset(new uint8_t[CPackageHeader::kMaxSize]);
        room = CPackageHeader::kMaxSize - m_headerFill;
        return m_headerBytes.get() + m_headerFill;
    }
    if (m_phase != Phase::Image)
        return nullptr;
    if (m_block == nullptr) {
        m_block = m_digest->Block();
        m_blockFill = 0;
    }
    room = CImageDigest::kBlockSize - m_blockFill;
    return m_block + m_blockFill;
}

PackageError CPackageStream::Commit(size_t count) {
    if (m_phase == Phase::Header)
        return TakeHeader(count);
    if (m_phase != Phase::Image || m_block == nullptr)
        return m_phase == Phase::Failed ? m_result.error : PackageError::Ok;
    m_blockFill += std::min(count, CImageDigest::kBlockSize - m_blockFill);
    return m_blockFill == CImageDigest::kBlockSize ? HandOn() : PackageError::Ok;
}

// The header is decided once its empty line is in, or once it has filled its
// room without one.
PackageError CPackageStream::TakeHeader(size_t count) {
    const size_t seen = m_headerFill;
    m_headerFill += std::min(count, CPackageHeader::kMaxSize - m_headerFill);
    const char* text = reinterpret_cast<const char*>(m_headerBytes.get());
    if (CPackageHeader::BlockEnd(text, m_headerFill, seen) == 0 &&
        m_headerFill < CPackageHeader::kMaxSize)
        return PackageError::Ok;
    return DecideHeader();
}

// Reads the header as the file checker does, judges it, and passes the bytes
// that came after it on to the image.
PackageError CPackageStream::DecideHeader() {
    CMemoryBuffer bytes(m_headerBytes.get(), m_headerFill);
    const PackageError error = m_header.Read(bytes);
    m_result.problem = m_header.Problem();
    m_result.headers = m_header.Lines();
    if (error != PackageError::Ok)
        return Fail(error);
    m_result.trust = m_trust.Judge(m_header);
    if (m_result.trust.error != PackageError::Ok)
        return Fail(m_result.trust.error);
    m_decoding = m_header.GetEncoding() != CPackageHeader::Encoding::None && !m_payloadOnly;
    if (TakeIndex() != PackageError::Ok)
        return m_result.error;
    if (m_decoding && CheckBase() != PackageError::Ok)
        return m_result.error;
    m_phase = Phase::Image;
    m_digest.reset(new CImageDigest());
    if (m_decoding) {
        m_targetDigest.reset(new CImageDigest());
        const bool delta = m_header.GetEncoding() == CPackageHeader::Encoding::ZstdDelta;
        if (!m_decoder.Begin(delta ? m_base : nullptr, m_baseSize, m_header.TargetSize()))
            throw std::bad_alloc();
        // The image is digested where the decoder left it, until the decoder
        // overwrites it: the frame just ended, or with two buffers the one before.
        m_frameStart = 0;
        m_heldFrameStart = 0;
        m_decoder.BeforeReuse([this](bool previousFrame) {
            if (!m_targetDigest)
                return;
            // Held bytes in the buffer about to be overwritten are handed on first.
            if (previousFrame ? !m_held.empty() : m_heldFrameStart > 0)
                HandHeld();
            m_heldFrameStart = m_held.size();
            const uint64_t handed = m_targetDigest->Handed();
            if (previousFrame)
                m_targetDigest->Settle();
            else
                m_targetDigest->SettleTo(m_frameStart);
            m_frameStart = handed;
        });
    }
    // A delta's base is accepted later, and the image starts then.
    if (!m_basePending && !Started())
        return Fail(PackageError::WriteFailed);
    return Feed(m_headerBytes.get() + m_header.Size(), m_headerFill - m_header.Size());
}

// The chunk index the header names, fetched and checked; an encoded package
// read as stored has no image to check it with.
PackageError CPackageStream::TakeIndex() {
    const bool stored = m_header.GetEncoding() != CPackageHeader::Encoding::None && !m_decoding;
    if (!m_attachments || stored || !CChunkIndex::Named(m_header))
        return PackageError::Ok;
    std::string data;
    std::string problem;
    const PackageError fetched =
        m_attachments(CChunkIndex::kKind, CPackageAttachment::kMaxIndexSize, data, problem);
    if (fetched != PackageError::Ok) {
        m_result.problem = problem;
        return Fail(fetched);
    }
    m_index.reset(new CChunkIndex());
    const PackageError taken = m_index->Take(m_header, std::move(data));
    if (taken != PackageError::Ok) {
        m_result.problem = m_index->Problem();
        return Fail(taken);
    }
    m_chunk.reserve(static_cast<size_t>(m_index->Chunk()));
    return PackageError::Ok;
}

bool CPackageStream::Deliver(const uint8_t* data, size_t size) {
    if (!m_index)
        return !m_sink || m_sink(data, size);
    while (size > 0) {
        const size_t room = static_cast<size_t>(m_index->Chunk()) - m_chunk.size();
        const size_t take = std::min(room, size);
        m_chunk.append(reinterpret_cast<const char*>(data), take);
        data += take;
        size -= take;
        if (m_chunk.size() == m_index->Chunk() && !DeliverChunk())
            return false;
    }
    return true;
}

bool CPackageStream::DeliverChunk() {
    if (m_chunk.empty())
        return true;
    const std::string computed = CSha256::Of(m_chunk.data(), m_chunk.size());
    const std::string stored =
        m_chunkNumber < m_index->Count() ? m_index->DigestOf(m_chunkNumber) : std::string();
    if (computed != stored) {
        m_chunkFailed = true;
        m_result.checks.push_back({"chunk " + std::to_string(m_chunkNumber),
                                   CSha256::Hex(stored), CSha256::Hex(computed), false});
        return false;
    }
    const bool handed =
        !m_sink || m_sink(reinterpret_cast<const uint8_t*>(m_chunk.data()), m_chunk.size());
    m_chunk.clear();
    ++m_chunkNumber;
    return handed;
}

PackageError CPackageStream::SinkError() const {
    return m_chunkFailed ? PackageError::ImageMismatch : PackageError::WriteFailed;
}

// A delta's base must be given; its SHA-256 is computed on a thread of its own
// (here, when no thread can be had) while the first frame decodes.
PackageError CPackageStream::CheckBase() {
    if (m_header.GetEncoding() != CPackageHeader::Encoding::ZstdDelta)
        return PackageError::Ok;
    if (m_base == nullptr) {
        m_result.problem = "a delta, and no base was given";
        return Fail(PackageError::BaseMismatch);
    }
    const uint8_t* base = m_base;
    const size_t size = m_baseSize;
    const auto digest = [base, size] { return CSha256::Hex(CSha256::Of(base, size)); };
    try {
        m_baseSha256 = std::async(std::launch::async, digest);
    } catch (const std::system_error&) {
        m_baseSha256 = std::async(std::launch::deferred, digest);
    }
    m_basePending = true;
    return PackageError::Ok;
}

// True once the base is the one the header names (or there is none to check);
// otherwise m_baseError says why not.
bool CPackageStream::VerifyBase() {
    if (!m_basePending)
        return m_baseError == PackageError::Ok;
    m_basePending = false;
    const std::string computed = m_baseSha256.get();
    const std::string& stored = *m_header.Find("base-sha256");
    if (computed.empty()) {
        m_baseError = PackageError::ReadFailed;
        return false;
    }
    m_result.checks.push_back({"base-sha256", stored, computed, computed == stored});
    m_baseError = computed == stored ? PackageError::Ok : PackageError::BaseMismatch;
    if (m_baseError == PackageError::Ok && !Started())
        m_baseError = PackageError::WriteFailed;
    return m_baseError == PackageError::Ok;
}

// The image is about to be handed on: progress starts, and the start hook may
// still refuse it.
bool CPackageStream::Started() {
    const uint64_t total = m_decoding ? m_header.TargetSize() : m_header.FileSize();
    if (m_progress)
        m_progress(0, total);
    return !m_start || m_start(total);
}

// Takes decoded image bytes, up to target-filesize (a payload that gives more
// stops decoding): digested at once, and handed to the sink once the base is
// known to match. Until its digest is ready they are held where the decoder
// left them, which it keeps until BeforeReuse.
bool CPackageStream::TakeTarget(const uint8_t* data, size_t size) {
    if (m_handFailed)
        return false;
    if (size > m_header.TargetSize() - m_targetTaken) {
        m_overrun = true;
        return false;
    }
    m_targetTaken += size;
    m_targetDigest->AddInPlace(data, size);
    if (m_basePending &&
        m_baseSha256.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        m_held.push_back({data, size});
        return true;
    }
    return HandHeld() && HandTarget(data, size);
}

// Hands the held bytes on, in order, once the base matches. A refusal stays:
// bytes the sink did not take are never made up for.
bool CPackageStream::HandHeld() {
    bool handed = !m_handFailed && VerifyBase();
    for (size_t at = 0; handed && at < m_held.size(); ++at)
        handed = HandTarget(m_held[at].first, m_held[at].second);
    m_held.clear();
    m_handFailed = !handed;
    return handed;
}

bool CPackageStream::HandTarget(const uint8_t* data, size_t size) {
    if (!Deliver(data, size))
        return false;
    m_targetHanded += size;
    if (m_progress)
        m_progress(m_targetHanded, m_header.TargetSize());
    return true;
}

// Digests the filled block and hands it on, up to the header's filesize: a
// stream longer than its header says writes nothing past it. An encoded
// payload is decoded, and the sink gets what it gives; one that does not
// decode is still digested to its end, so that the checks tell what differs.
PackageError CPackageStream::HandOn() {
    m_digest->Feed(m_blockFill);
    const uint64_t total = m_header.FileSize();
    const uint64_t allowed = total > m_handedOn ? total - m_handedOn : 0;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(m_blockFill, allowed));
    const uint8_t* block = m_block;
    m_block = nullptr;
    m_blockFill = 0;
    m_handedOn += count;
    if (m_decoding) {
        const bool decoding = m_decoder.Feed(block, count, [this](const uint8_t* data, size_t size) {
            return TakeTarget(data, size);
        });
        // A payload that stops decoding may blame the base: that is checked first.
        if (!decoding && !VerifyBase())
            return Fail(m_baseError);
        return m_decoder.SinkFailed() && !m_overrun ? Fail(SinkError()) : PackageError::Ok;
    }
    if (count > 0 && !Deliver(block, count))
        return Fail(SinkError());
    if (m_progress && count > 0)
        m_progress(m_handedOn, total);
    return PackageError::Ok;
}

const CPackageStream::Result& CPackageStream::Finish() {
    if (m_phase == Phase::Header)
        DecideHeader();
    if (m_phase != Phase::Image)
        return m_result;
    if (m_block != nullptr && m_blockFill > 0 && HandOn() != PackageError::Ok)
        return m_result;
    if (m_decoding && !HandHeld()) {
        Fail(m_baseError != PackageError::Ok ? m_baseError : SinkError());
        return m_result;
    }
    // The last chunk, short or whole, once the image has ended.
    if (m_index && !m_overrun && !DeliverChunk()) {
        Fail(SinkError());
        return m_result;
    }
    m_digest->Finish(m_result.md5, m_result.sha256);
    if (m_result.sha256.empty()) {
        Fail(PackageError::ReadFailed);
        return m_result;
    }
    CompareImage();
    if (m_decoding)
        CompareTarget();
    const bool matches = std::all_of(m_result.checks.begin(), m_result.checks.end(),
                                     [](const Item& item) { return item.ok; });
    m_result.error = matches ? PackageError::Ok : PackageError::ImageMismatch;
    m_phase = Phase::Finished;
    m_digest.reset();
    m_targetDigest.reset();
    m_block = nullptr;
    return m_result;
}

const CPackageStream::Result& CPackageStream::Abandon(PackageError error,
                                                      const std::string& problem) {
    if (m_phase == Phase::Header || m_phase == Phase::Image) {
        Fail(error);
        m_result.problem = problem;
    }
    return m_result;
}

void CPackageStream::CompareImage() {
    const uint64_t size = m_digest->Size();
    m_result.checks.push_back({"filesize", *m_header.Find("filesize"), std::to_string(size),
                               m_header.FileSize() == size});
    const std::string& storedMd5 = *m_header.Find("md5");
    m_result.checks.push_back(
        {"md5", storedMd5, m_result.md5, Lowercase(storedMd5) == m_result.md5});
    const std::string* storedSha = m_header.Find("sha256");
    // A signature checked with a key must bind the image through SHA-256: MD5
    // alone no longer does.
    const bool required = m_trust.HasKeys() && m_header.Find("signature") != nullptr;
    if (storedSha != nullptr || required) {
        const std::string value = storedSha != nullptr ? *storedSha : std::string();
        m_result.checks.push_back({"sha256", value, m_result.sha256, value == m_result.sha256});
    }
}

// The image the payload gave against the target lines; a payload that did
// not decode whole says why in the problem.
void CPackageStream::CompareTarget() {
    const bool decoded = m_decoder.End() && !m_overrun;
    if (!decoded)
        m_result.problem = m_overrun ? "the payload gives more than target-filesize bytes"
                                     : "the payload does not decode: " + m_decoder.Problem();
    std::string md5;
    std::string sha256;
    m_targetDigest->Finish(md5, sha256);
    const std::string& storedSize = *m_header.Find("target-filesize");
    const std::string size = std::to_string(m_targetDigest->Size());
    m_result.checks.push_back({"target-filesize", storedSize, size,
                               decoded && m_targetDigest->Size() == m_header.TargetSize()});
    const std::string& storedMd5 = *m_header.Find("target-md5");
    m_result.checks.push_back({"target-md5", storedMd5, md5, decoded && md5 == storedMd5});
    const std::string& storedSha = *m_header.Find("target-sha256");
    m_result.checks.push_back(
        {"target-sha256", storedSha, sha256, decoded && !sha256.empty() && sha256 == storedSha});
}
