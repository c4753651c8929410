#include "CSystem.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CSlot.h"

namespace {

constexpr char kSlotArgument[] = "fwkit.slot=";
constexpr size_t kMaxCmdline = 64u << 10;

}  // namespace

InstallError CSystem::Fail(InstallError error, const std::string& problem) {
    m_problem = problem;
    return error;
}

InstallError CSystem::Open(const std::string& config) {
    if (!m_description.Read(config))
        return Fail(InstallError::Description, m_description.Problem());
    m_env = CBootEnv::For(Description());
    m_control = std::make_unique<CBootControl>(*m_env, Description().BootNames(),
                                               Description().tries);
    if (!m_env->Load())
        return Fail(InstallError::Bootloader, m_env->Problem());
    return InstallError::Ok;
}

bool CSystem::IsBootName(const std::string& name) const {
    const std::vector<std::string> names = Description().BootNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::string CSystem::BootedFromCmdline(bool& readable) {
    std::ifstream file(Description().cmdline);
    readable = static_cast<bool>(file);
    std::string text(kMaxCmdline, '\0');
    file.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(file.gcount()));
    std::istringstream words(text);
    std::string word, name;
    while (words >> word)
        if (word.compare(0, sizeof kSlotArgument - 1, kSlotArgument) == 0)
            name = word.substr(sizeof kSlotArgument - 1);  // the last one counts, as the kernel's
    return name;
}

std::string CSystem::BootedFromRoot() {
    for (const SlotDescription& entry : Description().slots) {
        CSlot slot(entry);
        if (slot.Resolve() && slot.HoldsRoot())
            return entry.bootName;
    }
    return "";
}

InstallError CSystem::FindBooted() {
    bool readable = false;
    const std::string& cmdline = Description().cmdline;
    m_booted = BootedFromCmdline(readable);
    if (!m_booted.empty() && !IsBootName(m_booted))
        return Fail(InstallError::BootedUnknown,
                    cmdline + ": the booted slot '" + m_booted + "' is none of the description's");
    if (m_booted.empty())
        m_booted = BootedFromRoot();
    if (m_booted.empty())
        return Fail(InstallError::BootedUnknown,
                    cmdline + (readable ? ": no fwkit.slot=NAME" : ": cannot be read") +
                        ", and / is mounted from none of the slots");
    return InstallError::Ok;
}

CSystem::SlotStatus CSystem::StatusOf(const SlotDescription& entry) {
    SlotStatus status;
    status.name = entry.name;
    status.className = entry.className;
    status.bootName = entry.bootName;
    status.device = entry.device;
    status.triesLeft = m_control->TriesLeft(entry.bootName);
    status.recorded = Record(entry.name).Read(status.record);
    status.state = status.triesLeft == 0                          ? "bad"
                   : status.recorded && !status.record.confirmed ? "trying"
                                                                  : "good";
    return status;
}

InstallError CSystem::GetStatus(Status& status) {
    const InstallError booted = FindBooted();
    if (booted != InstallError::Ok)
        return booted;
    status.booted = m_booted;
    status.order = m_control->Order();
    status.next = m_control->Next();
    // A fallback: the slot first in order ran out of tries, and the bootloader
    // went on to the one running now. (One made first by an install or by
    // mark-active that has not booted yet still has its tries.)
    status.fallback = !status.order.empty() && status.order.front() != m_booted &&
                      m_control->TriesLeft(status.order.front()) == 0;
    status.slots.clear();
    for (const SlotDescription& entry : Description().slots)
        status.slots.push_back(StatusOf(entry));
    if (!m_env->Problem().empty())
        return Fail(InstallError::Bootloader, m_env->Problem());
    return InstallError::Ok;
}

std::string CSystem::StatusJson(const Status& status) {
    nlohmann::ordered_json slots = nlohmann::ordered_json::array();
    for (const SlotStatus& slot : status.slots) {
        nlohmann::ordered_json entry = {{"name", slot.bootName},        {"slot", slot.name},
                                {"class", slot.className},      {"device", slot.device},
                                {"state", slot.state},          {"tries_left", slot.triesLeft},
                                {"booted", slot.bootName == status.booted}};
        if (slot.recorded) {
            entry["version"] = slot.record.version;
            entry["sha256"] = slot.record.sha256;
            entry["size"] = slot.record.size;
            entry["keyids"] = slot.record.keyIds;
        }
        slots.push_back(entry);
    }
    const nlohmann::ordered_json document = {{"schema", "fwkit-status/1"}, {"booted", status.booted},
                                     {"next", status.next},        {"fallback", status.fallback},
                                     {"order", status.order},      {"slots", slots}};
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string CSystem::StatusText(const Status& status) {
    std::string text = "booted: " + status.booted + "\nnext: " + status.next +
                       "\nfallback: " + (status.fallback ? "yes" : "no") + "\n";
    for (const SlotStatus& slot : status.slots)
        text += slot.name + ": " + slot.device + ", " + slot.state + ", " +
                std::to_string(slot.triesLeft) + " tries left, " +
                (slot.recorded ? "version " + slot.record.version + ", sha256 " + slot.record.sha256
                               : std::string("not recorded")) +
                "\n";
    return text;
}

InstallError CSystem::Saved(bool saved) {
    return saved ? InstallError::Ok : Fail(InstallError::Bootloader, m_env->Problem());
}

InstallError CSystem::MarkGood() {
    const InstallError booted = FindBooted();
    if (booted != InstallError::Ok)
        return booted;
    const InstallError saved = Saved(m_control->MarkGood(m_booted));
    if (saved != InstallError::Ok)
        return saved;
    for (const SlotDescription& entry : Description().slots) {
        CSlotRecord record = Record(entry.name);
        SlotRecord held;
        if (entry.bootName != m_booted || !record.Read(held) || held.confirmed)
            continue;
        held.confirmed = true;
        if (!record.Write(held))
            return Fail(InstallError::StateFailed, record.Problem());
    }
    return InstallError::Ok;
}

InstallError CSystem::MarkBad(const std::string& name) {
    std::string slot = name;
    if (slot.empty()) {
        const InstallError booted = FindBooted();
        if (booted != InstallError::Ok)
            return booted;
        slot = m_booted;
    }
    if (!IsBootName(slot))
        return Fail(InstallError::UnknownSlot, Description().file + ": no slot is booted as '" +
                                                   slot + "'");
    return Saved(m_control->MarkBad(slot));
}

InstallError CSystem::MarkActive(const std::string& name) {
    if (!IsBootName(name))
        return Fail(InstallError::UnknownSlot, Description().file + ": no slot is booted as '" +
                                                   name + "'");
    return Saved(m_control->MakeNext(name, Description().tries));
}
