#include "CPackageCheck.h"

#include <algorithm>
#include <cstdint>

#include "FilePath.h"

const CPackageCheck::Result& CPackageCheck::Run(CBuffer& package) {
    m_stream.Reset();
    const uint32_t end = package.Size();
    for (uint32_t at = 0; at < end;) {
        size_t room = 0;
        uint8_t* space = m_stream.Space(room);
        if (space == nullptr)
            break;  // refused: the rest is not read
        const uint32_t got =
            package.Copy(at, static_cast<uint32_t>(std::min<size_t>(room, end - at)), space);
        if (got == 0)
            return m_stream.Abandon(PackageError::ReadFailed);
        at += got;
        if (m_stream.Commit(got) != PackageError::Ok)
            break;
    }
    return m_stream.Finish();
}

const CPackageCheck::Result& CPackageCheck::Run(CFileBuffer& package) {
    const std::string problem = FileProblem(package.GetName());
    if (!problem.empty())
        return Refuse(PackageError::ReadFailed, problem);
    const long long size = Core::File::FileSize(package.GetName());
    if (size >= 0 && static_cast<uint64_t>(size) > CPackageHeader::kMaxPackageSize)
        return Refuse(PackageError::TooLarge, "");
    return Run(static_cast<CBuffer&>(package));
}

const CPackageCheck::Result& CPackageCheck::Run(CInputFile& package) {
    if (package.GetState() == CInputFile::State::Unreadable ||
        package.GetState() == CInputFile::State::NotRegular)
        return Run(static_cast<CFileBuffer&>(package));  // says why
    if (package.FileSize() > CPackageHeader::kMaxPackageSize)
        return Refuse(PackageError::TooLarge, "");
    return Run(static_cast<CBuffer&>(package));
}

const CPackageCheck::Result& CPackageCheck::Refuse(PackageError error, const std::string& problem) {
    m_stream.Reset();
    return m_stream.Abandon(error, problem);
}
