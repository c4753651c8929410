#include "CPackageCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

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
    if (problem.empty())
        return Run(static_cast<CBuffer&>(package));
    m_stream.Reset();
    return m_stream.Abandon(PackageError::ReadFailed, problem);
}

std::string CPackageCheck::FileProblem(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st {};
    std::string cause;
    if (fd < 0 || fstat(fd, &st) != 0)
        cause = std::strerror(errno);
    else if (S_ISDIR(st.st_mode))
        cause = std::strerror(EISDIR);
    else if (!S_ISREG(st.st_mode))
        cause = "not a regular file";
    else if (static_cast<uint64_t>(st.st_size) > UINT32_MAX)
        cause = "larger than 4 GiB";
    if (fd >= 0)
        close(fd);
    return cause;
}
