#include "CPackageAttachment.h"

#include "CFileSource.h"
#include "CSha256.h"
#include "Parse.h"

std::vector<CPackageHeader::Line> CPackageAttachment::Describe(const std::string& data) const {
    return {{m_kind + "-sha256", CSha256::Hex(CSha256::Of(data.data(), data.size()))},
            {m_kind + "-size", std::to_string(data.size())}};
}

bool CPackageAttachment::Named(const CPackageHeader& header) const {
    return header.Find(m_kind + "-size") != nullptr || header.Find(m_kind + "-sha256") != nullptr;
}

uint64_t CPackageAttachment::NamedSize(const CPackageHeader& header) const {
    uint64_t size = 0;
    const std::string* sha256 = nullptr;
    CPackageAttachment copy(*this);
    return copy.Lines(header, size, sha256) == PackageError::Ok ? size : 0;
}

PackageError CPackageAttachment::Fail(PackageError error, const std::string& problem) {
    m_problem = problem;
    return error;
}

PackageError CPackageAttachment::Lines(const CPackageHeader& header, uint64_t& size,
                                       const std::string*& sha256) {
    const std::string* sizeText = header.Find(m_kind + "-size");
    sha256 = header.Find(m_kind + "-sha256");
    if (sizeText == nullptr || sha256 == nullptr)
        return Fail(PackageError::NotAPackage, m_kind + "-size and " + m_kind +
                                                   "-sha256 go together; the header has one");
    const std::string refusal = Core::Parse::Unsigned(*sizeText, m_maxSize, size);
    if (!refusal.empty())
        return Fail(PackageError::NotAPackage, m_kind + "-size: " + refusal);
    if (sha256->size() != 64 || sha256->find_first_not_of("0123456789abcdef") != std::string::npos)
        return Fail(PackageError::NotAPackage,
                    m_kind + "-sha256 " + *sha256 + " is not 64 lowercase hexadecimal digits");
    return PackageError::Ok;
}

PackageError CPackageAttachment::Check(const CPackageHeader& header, const std::string& data) {
    uint64_t size = 0;
    const std::string* sha256 = nullptr;
    const PackageError lines = Lines(header, size, sha256);
    if (lines != PackageError::Ok)
        return lines;
    if (data.size() != size)
        return Fail(PackageError::AttachmentMismatch,
                    m_kind + ": " + std::to_string(data.size()) + " bytes, the header says " +
                        std::to_string(size));
    const std::string computed = CSha256::Hex(CSha256::Of(data.data(), data.size()));
    if (computed != *sha256)
        return Fail(PackageError::AttachmentMismatch,
                    m_kind + ": sha256 " + computed + ", the header says " + *sha256);
    m_problem.clear();
    return PackageError::Ok;
}

PackageError CPackageAttachment::Load(const CPackageHeader& header, const std::string& path,
                                      std::string& data) {
    uint64_t size = 0;
    const std::string* sha256 = nullptr;
    const PackageError lines = Lines(header, size, sha256);
    if (lines != PackageError::Ok)
        return lines;
    // One byte more than named shows a longer file without reading all of it.
    std::string problem;
    const PackageError read = CFileSource::ReadFile(path, size + 1, data, problem);
    if (read != PackageError::Ok)
        return Fail(read, path + ": " + problem);
    return Check(header, data);
}
