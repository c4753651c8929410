#include "CUbootEnv.h"

#include <libuboot.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// Syncs each device or file the configuration names (the first word of each
// line that is not a comment), so that a save is on the medium before it is
// reported; libubootenv itself does not sync every kind of device.
bool SyncCopies(const std::string& config) {
    std::ifstream file(config);
    std::string line;
    bool synced = true;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string device;
        if (!(words >> device) || device[0] == '#')
            continue;
        const int fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
        synced = fd >= 0 && fsync(fd) == 0 && synced;
        if (fd >= 0)
            close(fd);
    }
    return synced;
}

}  // namespace

CUbootEnv::~CUbootEnv() {
    if (m_open)
        libuboot_close(m_context);
    if (m_context != nullptr)
        libuboot_exit(m_context);
}

bool CUbootEnv::Load() {
    if (libuboot_initialize(&m_context, nullptr) < 0) {
        m_context = nullptr;
        return Fail(m_config + ": libubootenv cannot start");
    }
    if (libuboot_read_config(m_context, m_config.c_str()) < 0)
        return Fail(m_config + ": not a configuration of environment copies libubootenv reads");
    if (libuboot_open(m_context) < 0)
        return Fail(m_config + ": the environment it names cannot be read");
    m_open = true;
    return true;
}

std::string CUbootEnv::Get(const std::string& name) {
    if (!m_open)
        return "";
    char* value = libuboot_get_env(m_context, name.c_str());
    if (value == nullptr)
        return "";
    std::string text(value);
    std::free(value);
    return text;
}

void CUbootEnv::Set(const std::string& name, const std::string& value) {
    if (m_open && libuboot_set_env(m_context, name.c_str(), value.c_str()) != 0)
        Fail(m_config + ": cannot set " + name);
}

bool CUbootEnv::Save() {
    if (!m_open)
        return Fail(m_config + ": the environment was not read");
    if (!Problem().empty())
        return false;
    if (libuboot_env_store(m_context) != 0)
        return Fail(m_config + ": the environment cannot be written");
    if (!SyncCopies(m_config))
        return Fail(m_config + ": the environment cannot be synced");
    return true;
}
