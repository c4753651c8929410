#include "CPackageLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

CPackageLock::~CPackageLock() {
    if (m_fd >= 0)
        close(m_fd);
}

bool CPackageLock::Take() {
    for (;;) {
        m_fd = open(m_path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        if (m_fd < 0)
            return false;
        int locked = 0;
        while ((locked = flock(m_fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat held {};
        struct stat named {};
        if (locked != 0 || fstat(m_fd, &held) != 0)
            break;
        // The signer that held it may have renamed a new package over the name.
        if (stat(m_path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino)
            return true;
        close(m_fd);
        m_fd = -1;
    }
    const int error = errno;
    close(m_fd);
    m_fd = -1;
    errno = error;
    return false;
}
