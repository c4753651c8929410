#include "CMappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "FilePath.h"

namespace {

// What a file of 0 bytes maps to: a valid pointer to nothing.
const uint8_t kNothing[1] = {0};

}  // namespace

CMappedFile::~CMappedFile() {
    Close();
}

void CMappedFile::Close() {
    if (m_mapped)
        munmap(const_cast<uint8_t*>(m_data), m_size);
    m_data = nullptr;
    m_size = 0;
    m_mapped = false;
}

bool CMappedFile::Open(const std::string& path) {
    Close();
    m_problem.clear();
    int fd = -1;
    struct stat st {};
    m_problem = Core::File::OpenRegular(path, fd, st);
    if (m_problem.empty() && static_cast<uint64_t>(st.st_size) > SIZE_MAX)
        m_problem = std::strerror(EFBIG);
    if (m_problem.empty() && st.st_size == 0) {
        m_data = kNothing;
    } else if (m_problem.empty()) {
        void* map = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            m_problem = std::strerror(errno);
        } else {
            m_data = static_cast<const uint8_t*>(map);
            m_size = static_cast<size_t>(st.st_size);
            m_mapped = true;
        }
    }
    if (fd >= 0)
        close(fd);
    return m_problem.empty();
}
