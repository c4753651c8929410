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

uboot_ctx* CUbootEnv::Open() {
    uboot_ctx* context = nullptr;
    if (libuboot_initialize(&context, nullptr) < 0)
        return Fail(m_config + ": libubootenv cannot start"), nullptr;
    if (libuboot_read_config(context, m_config.c_str()) < 0) {
        libuboot_exit(context);
        return Fail(m_config + ": not a configuration of environment copies libubootenv reads"),
               nullptr;
    }
    if (libuboot_open(context) < 0) {
        libuboot_exit(context);
        return Fail(m_config + ": the environment it names cannot be read"), nullptr;
    }
    return context;
}

void CUbootEnv::Close(uboot_ctx* context) {
    libuboot_close(context);
    libuboot_exit(context);
}

bool CUbootEnv::Load() {
    uboot_ctx* context = Open();
    if (context == nullptr)
        return false;
    m_variables.clear();
    for (void* entry = libuboot_iterator(context, nullptr); entry != nullptr;
         entry = libuboot_iterator(context, entry)) {
        const char* name = libuboot_getname(entry);
        const char* value = libuboot_getvalue(entry);
        if (name != nullptr)
            m_variables[name] = value != nullptr ? value : "";
    }
    Close(context);
    m_loaded = true;
    return true;
}

std::string CUbootEnv::Get(const std::string& name) {
    const auto found = m_variables.find(name);
    return found != m_variables.end() ? found->second : "";
}

void CUbootEnv::Set(const std::string& name, const std::string& value) {
    m_variables[name] = value;
    m_changed.emplace_back(name, value);
}

bool CUbootEnv::Save() {
    if (!m_loaded)
        return Fail(m_config + ": the environment was not read");
    uboot_ctx* context = Open();
    if (context == nullptr)
        return false;
    bool set = true;
    for (const auto& changed : m_changed)
        set = set && libuboot_set_env(context, changed.first.c_str(), changed.second.c_str()) == 0;
    const bool stored = set && libuboot_env_store(context) == 0;
    Close(context);
    if (!set)
        return Fail(m_config + ": a variable cannot be set");
    if (!stored)
        return Fail(m_config + ": the environment cannot be written");
    m_changed.clear();
    if (!SyncCopies(m_config))
        return Fail(m_config + ": the environment cannot be synced");
    return true;
}
