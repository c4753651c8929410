#include "CInstallLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

CInstallLock::~CInstallLock() {
    if (m_fd >= 0)
        close(m_fd);
}

bool CInstallLock::Take() {
    m_fd = open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_problem = m_path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(m_fd, LOCK_EX | LOCK_NB) == 0)
        return true;
    m_busy = errno == EWOULDBLOCK;
    m_problem = m_path + ": " + (m_busy ? "another install holds the lock" : std::strerror(errno));
    close(m_fd);
    m_fd = -1;
    return false;
}
