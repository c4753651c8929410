#include "CPackageEncoder.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "CChunkIndex.h"
#include "CImageDigest.h"
#include "CMappedFile.h"
#include "CMemoryBuffer.h"
#include "CPackageCheck.h"
#include "CSha256.h"

namespace {

constexpr int kLdmMinMatch = 192;
constexpr int kLdmBucketSizeLog = 8;
constexpr int kLdmHashRateLog = 8;
constexpr int kCloserMinMatch = 4;

struct FreeContext {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using Context = std::unique_ptr<ZSTD_CCtx, FreeContext>;

// The smallest window (log2) that spans `bytes`, within zstd's bounds and `most`.
int WindowLogFor(uint64_t bytes, int most) {
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = bounds.lowerBound;
    while (log < std::min(most, bounds.upperBound) && (uint64_t{1} << log) < bytes)
        ++log;
    return log;
}

// Sets the parameters a frame is compressed with.
bool Configure(ZSTD_CCtx* context, const CPackageEncoder::Search& search) {
    const bool delta = search.delta;
    const size_t results[] = {
        ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, search.level),
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, search.windowLog),
        ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, delta ? 1 : 0),
        ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1),
        // Long matches of at least kLdmMinMatch bytes, from buckets of 2^8
        // candidates: an image holds many alike stretches (empty blocks, inode
        // tables), and the smallest buckets keep the wrong ones.
        ZSTD_CCtx_setParameter(context, ZSTD_c_ldmMinMatch, delta ? kLdmMinMatch : 0),
        ZSTD_CCtx_setParameter(context, ZSTD_c_ldmBucketSizeLog, delta ? kLdmBucketSizeLog : 0),
        // A candidate at every 2^8th position: every frame indexes the whole
        // base again, and sparser candidates index it in about half the time
        // for hardly a larger delta.
        ZSTD_CCtx_setParameter(context, ZSTD_c_ldmHashRateLog, delta ? kLdmHashRateLog : 0),
        // The closer search: lazy matching over two candidates, matches from 4 bytes.
        ZSTD_CCtx_setParameter(context, ZSTD_c_strategy, search.closer ? ZSTD_lazy2 : 0),
        ZSTD_CCtx_setParameter(context, ZSTD_c_minMatch, search.closer ? kCloserMinMatch : 0),
    };
    return std::none_of(std::begin(results), std::end(results),
                        [](size_t result) { return ZSTD_isError(result) != 0; });
}

}  // namespace

int CPackageEncoder::MinLevel() {
    return 1;
}

int CPackageEncoder::MaxLevel() {
    return ZSTD_maxCLevel();
}

int CPackageEncoder::MaxWindowLog() {
    return std::min(ZSTD_cParam_getBounds(ZSTD_c_windowLog).upperBound,
                    CFrameDecoder::WindowLogMax());
}

PackageError CPackageEncoder::Fail(PackageError error, const std::string& problem,
                                   PackageInput culprit) {
    m_problem = problem;
    m_culprit = culprit;
    m_payload.clear();
    m_payloadSha256.clear();
    m_index.clear();
    return error;
}

PackageError CPackageEncoder::Encode(const std::string& package, const std::string& base) {
    m_problem.clear();
    m_culprit = PackageInput::None;
    m_payload.clear();
    m_payloadSha256.clear();
    m_index.clear();
    CMappedFile packageFile;
    if (!packageFile.Open(package))
        return Fail(PackageError::ReadFailed, packageFile.Problem());
    if (packageFile.Size() > CPackageHeader::kMaxPackageSize)
        return Fail(PackageError::TooLarge, "4 GiB or more, beyond what a package holds");
    // The image is checked from the very bytes it is encoded from.
    CMemoryBuffer bytes(packageFile.Data(), packageFile.Size());
    CPackageCheck check;
    check.Trust().SkipPolicy();
    uint64_t chunk = m_settings.chunk;
    if (chunk == 0 && m_header.Read(bytes) == PackageError::Ok && !IndexChunk(chunk))
        return PackageError::NotAPackage;
    // Without block hints: an encoded package is checked chunk by chunk but
    // never installed so, and hints would make its index five times as long.
    CChunkIndex::Builder index(chunk > 0 ? chunk : CChunkIndex::kMinChunk, 0);
    if (chunk > 0)
        check.SetImageSink([&index](const uint8_t* data, size_t size) {
            index.Update(data, size);
            return true;
        });
    const CPackageCheck::Result& result = check.Run(bytes);
    if (result.error == PackageError::NotAPackage)
        return Fail(PackageError::NotAPackage, "not a package: " + result.problem);
    if (result.error == PackageError::ImageMismatch)
        return Fail(PackageError::ImageMismatch, PackageErrorText(result.error));
    if (m_header.Read(bytes) != PackageError::Ok)
        return Fail(PackageError::NotAPackage, "not a package: " + m_header.Problem());
    if (m_header.GetEncoding() != CPackageHeader::Encoding::None)
        return Fail(PackageError::AlreadyEncoded,
                    "encoded already (encoding " + *m_header.Find("encoding") + ")");
    if (result.error != PackageError::Ok && result.error != PackageError::BadSignature)
        return Fail(PackageError::NotAPackage, PackageErrorText(result.error));
    const std::string md5 = result.md5;
    const std::string sha256 = result.sha256;
    CMappedFile baseFile;
    if (!base.empty() && !baseFile.Open(base))
        return Fail(PackageError::ReadFailed, baseFile.Problem(), PackageInput::Base);
    const uint8_t* image = packageFile.Data() + m_header.Size();
    const size_t imageSize = packageFile.Size() - m_header.Size();
    if (!Compress(image, imageSize, base.empty() ? nullptr : baseFile.Data(), baseFile.Size()))
        return PackageError::CompressFailed;
    m_header.SetLine("target-filesize", std::to_string(imageSize));
    m_header.SetLine("target-md5", md5);
    m_header.SetLine("target-sha256", sha256);
    if (chunk > 0) {
        m_index = index.Finish();
        m_header.RemoveLine(CChunkIndex::kBlockLine);
        for (const CPackageHeader::Line& line : CChunkIndex::Lines(m_index, chunk, 0))
            m_header.SetLine(line.first, line.second);
    }
    Describe(base.empty() ? "zstd" : "zstd-delta",
             base.empty() ? "" : CSha256::Hex(CSha256::Of(baseFile.Data(), baseFile.Size())));
    // The base's length is signed with its digest, so that a device may give
    // a slot larger than the base as it stands.
    if (!base.empty())
        m_header.SetLine("base-filesize", std::to_string(baseFile.Size()));
    if (m_header.SignedSize(CPackageSignature::kMaxEntries) + m_payload.size() >
        CPackageHeader::kMaxPackageSize)
        return Fail(PackageError::TooLarge, "the encoded package would reach 4 GiB");
    return PackageError::Ok;
}

// An input that names an index at a chunk size keeps one at that size: its
// index lines stay, and they must name an index of the image rebuilt.
bool CPackageEncoder::IndexChunk(uint64_t& chunk) {
    const std::string* line = m_header.Find(CChunkIndex::kChunkLine);
    if (line == nullptr)
        return true;
    const std::string refusal = CChunkIndex::ParseChunk(*line, chunk);
    if (refusal.empty())
        return true;
    Fail(PackageError::NotAPackage,
         "not a package: " + std::string(CChunkIndex::kChunkLine) + ": " + refusal);
    return false;
}

// Sets the lines of the payload and of its encoding.
void CPackageEncoder::Describe(const std::string& encoding, const std::string& baseSha256) {
    CImageDigest digest;
    digest.Add(reinterpret_cast<const uint8_t*>(m_payload.data()), m_payload.size());
    std::string md5;
    digest.Finish(md5, m_payloadSha256);
    m_header.SetLine("filesize", std::to_string(m_payload.size()));
    m_header.SetLine("md5", md5);
    m_header.SetLine("encoding", encoding);
    if (!baseSha256.empty())
        m_header.SetLine("base-sha256", baseSha256);
}

// Compresses the frames on as many threads as the settings allow (each with
// a context of its own, taking the next frame not yet taken), then joins them
// in order.
bool CPackageEncoder::Compress(const uint8_t* image, size_t size, const uint8_t* base,
                               size_t baseSize) {
    Frames frames;
    frames.image = image;
    frames.size = size;
    frames.base = base;
    frames.baseSize = baseSize;
    frames.frameSize =
        std::clamp(m_settings.frameSize, kMinFrameSize, CFrameDecoder::kMaxFrameSize);
    frames.out.resize((size + frames.frameSize - 1) / frames.frameSize);
    const unsigned threads = static_cast<unsigned>(
        std::clamp<size_t>(m_settings.threads, 1, std::max<size_t>(frames.out.size(), 1)));
    std::vector<std::thread> workers;
    std::vector<char> ok(threads, 0);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            workers.emplace_back([&, t] { ok[t] = CompressFrames(frames); });
        } catch (const std::system_error&) {
            ok[t] = 1;  // the threads there are take its frames
        }
    }
    ok[0] = CompressFrames(frames);
    for (std::thread& worker : workers)
        worker.join();
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
        m_problem = "zstd cannot compress it at these settings";
        return false;
    }
    size_t total = 0;
    for (const std::string& frame : frames.out)
        total += frame.size();
    m_payload.reserve(total);
    for (std::string& frame : frames.out) {
        m_payload += frame;
        std::string().swap(frame);
    }
    return true;
}

// Compresses frames not yet taken, until none is left. A delta's frame that
// the level's own search leaves large (new data more than bytes from the
// base) is searched again more closely, and the smaller kept: the few frames
// that hold the changes get the closer search, the many that repeat the base
// stay quick.
bool CPackageEncoder::CompressFrames(Frames& frames) {
    const int windowLog = WindowLogFor(uint64_t{frames.baseSize} + frames.frameSize,
                                       std::min(m_settings.windowLogMax, MaxWindowLog()));
    const int level = m_settings.level > 0                                     ? m_settings.level
                      : uint64_t{frames.baseSize} + frames.size <= kSmallInput ? kSmallLevel
                                                                               : kLargeLevel;
    const Context context(ZSTD_createCCtx());
    if (!context)
        return false;
    const bool delta = frames.base != nullptr;
    for (size_t index = frames.next++; index < frames.out.size(); index = frames.next++) {
        const size_t at = index * frames.frameSize;
        const size_t length = std::min(frames.frameSize, frames.size - at);
        std::string& frame = frames.out[index];
        if (!CompressFrame(context.get(), Search{level, windowLog, delta, false}, frames, at,
                           length, frame))
            return false;
        if (!delta || level >= kSmallLevel || frame.size() <= length / kCloserSearchShare)
            continue;
        std::string closer;
        if (!CompressFrame(context.get(), Search{level, windowLog, delta, true}, frames, at, length,
                           closer))
            return false;
        if (closer.size() < frame.size())
            frame.swap(closer);
    }
    return true;
}

// Compresses the `length` bytes at `at` as one frame into `frame`.
bool CPackageEncoder::CompressFrame(ZSTD_CCtx* context, const Search& search, const Frames& frames,
                                    size_t at, size_t length, std::string& frame) {
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    if (!Configure(context, search))
        return false;
    if (frames.base != nullptr &&
        ZSTD_isError(ZSTD_CCtx_refPrefix(context, frames.base, frames.baseSize)))
        return false;
    frame.resize(ZSTD_compressBound(length));
    const size_t made = ZSTD_compress2(context, &frame[0], frame.size(), frames.image + at, length);
    if (ZSTD_isError(made))
        return false;
    frame.resize(made);
    frame.shrink_to_fit();
    return true;
}
