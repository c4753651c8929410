// CPackageCheck::FileProblem, apart from the checker: the commands that read firmware
// files ask it too, and so need none of the checker's digest and signature code.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CPackageCheck.h"

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
    if (fd >= 0)
        close(fd);
    return cause;
}
