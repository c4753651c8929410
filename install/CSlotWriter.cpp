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
    if (m_slot.Spec().kind == SlotSpec::Kind::File) {
        m_file = std::make_unique<Core::File::Output>(m_slot.Path());
        if (!m_file->Open())
            return Fail(m_file->Cause());
        return true;
    }
    m_fd = open(m_slot.Path().c_str(), O_WRONLY | O_CLOEXEC);
    if (m_fd < 0)
        return Fail(std::strerror(errno));
    return true;
}

bool CSlotWriter::Write(const uint8_t* data, size_t size) {
    if (m_file) {
        if (!m_file->Write(data, size))
            return Fail(m_file->Cause());
        m_written += size;
        return true;
    }
    while (size > 0) {
        const ssize_t put = write(m_fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return Fail(put < 0 ? std::strerror(errno) : "the slot is full");
        data += put;
        size -= static_cast<size_t>(put);
        m_written += static_cast<uint64_t>(put);
    }
    return true;
}

bool CSlotWriter::Finish() {
    if (m_file) {
        const bool committed = m_file->Commit(true);
        const std::string cause = committed ? "" : m_file->Cause();
        m_file.reset();
        return committed || Fail(cause);
    }
    const bool synced = fsync(m_fd) == 0;
    const int error = errno;
    const bool closed = close(m_fd) == 0;
    m_fd = -1;
    if (!synced)
        return Fail(std::strerror(error));
    return closed || Fail(std::strerror(errno));
}

void CSlotWriter::Abandon() {
    if (m_file)
        m_file->Commit(false);
    m_file.reset();
    if (m_fd >= 0)
        close(m_fd);
    m_fd = -1;
}
