#include "CSlotWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

CSlotWriter::~CSlotWriter() { Abandon(); }

bool CSlotWriter::Fail(const std::string& cause) {
    if (m_problem.empty())
        m_problem = m_slot.Path() + ": " + cause;
    return false;
}

bool CSlotWriter::Open() {
    std::string path = m_slot.Path();
    if (m_slot.Described().kind == SlotDescription::Kind::Raw) {
        // Opened here, without O_CREAT or O_TRUNC, and handed to the output as
        // a descriptor: written in place, as a stream.
        m_fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (m_fd < 0)
            return Fail(std::strerror(errno));
        path = "/dev/fd/" + std::to_string(m_fd);
    }
    m_output = std::make_unique<Core::File::Output>(path);
    return m_output->Open() || OutputFailed();
}

bool CSlotWriter::Finish() {
    m_output.reset();
    if (m_fd < 0)
        return true;
    const bool synced = fsync(m_fd) == 0;
    const int error = errno;
    const bool closed = close(m_fd) == 0;
    m_fd = -1;
    if (!synced)
        return Fail(std::strerror(error));
    return closed || Fail(std::strerror(errno));
}

void CSlotWriter::Abandon() {
    if (m_output)
        m_output->Commit(false);
    m_output.reset();
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}
