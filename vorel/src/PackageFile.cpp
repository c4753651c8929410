// CPackageCheck::FileProblem, apart from the checker: the commands that read firmware
// files ask it too, and so need none of the checker's digest and signature code.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "CPackageCheck.h"
#include "FilePath.h"

std::string CPackageCheck::FileProblem(const std::string& path) {
    int fd = -1;
    struct stat st {};
    const std::string cause = Core::File::OpenRegular(path, fd, st);
    if (fd >= 0)
        close(fd);
    return cause;
}
