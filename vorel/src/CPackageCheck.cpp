#include "CPackageCheck.h"

#include <algorithm>
#include <cctype>
#include <utility>
#include <vector>

#include "CImageDigest.h"

namespace {

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

const CPackageCheck::Result& CPackageCheck::Run(CBuffer& package) {
    m_result = Result();
    CPackageHeader header;
    m_result.error = header.Read(package);
    m_result.problem = header.Problem();
    m_result.headers = header.Lines();
    if (m_result.error != PackageError::Ok)
        return m_result;
    m_result.trust = m_trust.Judge(header);
    if (m_result.trust.error != PackageError::Ok) {
        m_result.error = m_result.trust.error;
        return m_result;
    }
    uint64_t size = 0;
    m_result.error = ReadImage(package, header.Size(), m_result.md5, m_result.sha256, size);
    if (m_result.error != PackageError::Ok)
        return m_result;
    CompareImage(header, m_result.md5, m_result.sha256, size);
    m_result.error = Verdict();
    return m_result;
}

const CPackageCheck::Result& CPackageCheck::Run(CInputFile& package) {
    if (package.FileSize() <= CPackageHeader::kMaxPackageSize)
        return Run(static_cast<CBuffer&>(package));
    m_result = Result();
    m_result.error = PackageError::TooLarge;
    return m_result;
}

// Digests every byte after the header, handing each block to the sink.
PackageError CPackageCheck::ReadImage(CBuffer& package, uint32_t start, std::string& md5,
                                      std::string& sha256, uint64_t& size) {
    const uint32_t end = package.Size();
    CImageDigest digest;
    for (uint32_t at = start; at < end;) {
        const uint32_t count = std::min<uint32_t>(CImageDigest::kBlockSize, end - at);
        uint8_t* block = digest.Block();
        const uint32_t got = package.Copy(at, count, block);
        if (got == 0)
            return PackageError::ReadFailed;
        digest.Feed(got);
        if (m_sink && !m_sink(block, got))
            return PackageError::WriteFailed;
        at += got;
    }
    digest.Finish(md5, sha256);
    size = digest.Size();
    return sha256.empty() ? PackageError::ReadFailed : PackageError::Ok;
}

void CPackageCheck::CompareImage(const CPackageHeader& header, const std::string& md5,
                                 const std::string& sha256, uint64_t size) {
    m_result.checks.push_back(
        {"filesize", *header.Find("filesize"), std::to_string(size), header.FileSize() == size});
    const std::string& storedMd5 = *header.Find("md5");
    m_result.checks.push_back({"md5", storedMd5, md5, Lowercase(storedMd5) == md5});
    const std::string* storedSha = header.Find("sha256");
    // A signature checked with a key must bind the image through SHA-256: MD5
    // alone no longer does.
    const bool required = m_trust.HasKeys() && header.Find("signature") != nullptr;
    if (storedSha != nullptr || required) {
        const std::string value = storedSha != nullptr ? *storedSha : std::string();
        m_result.checks.push_back({"sha256", value, sha256, value == sha256});
    }
}

PackageError CPackageCheck::Verdict() const {
    for (const Item& item : m_result.checks) {
        if (!item.ok)
            return PackageError::ImageMismatch;
    }
    return PackageError::Ok;
}
