#include "CSystemDescription.h"

#include <ini.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include "Parse.h"

namespace {

constexpr unsigned kMaxThreshold = 64;

// What the INI reader reads from: the file, and the description told of each line.
struct LineSource {
    FILE* file;
    CSystemDescription* description;
    int number = 0;
    bool lineStarts = true;
};

char* ReadLine(char* text, int size, void* stream) {
    LineSource& source = *static_cast<LineSource*>(stream);
    if (std::fgets(text, size, source.file) == nullptr)
        return nullptr;
    const size_t length = std::strlen(text);
    const bool complete = (length > 0 && text[length - 1] == '\n') || std::feof(source.file);
    if (source.lineStarts)
        ++source.number;
    source.lineStarts = complete;
    // A refusal stops the reading: what follows is not looked at.
    return source.description->SeeLine(text, source.number, complete) ? text : nullptr;
}

int TakeKey(void* user, const char* section, const char* key, const char* value) {
    return static_cast<CSystemDescription*>(user)->Take(section, key, value) ? 1 : 0;
}

bool IsBootName(const std::string& name) {
    return !name.empty() && name.size() <= 32 &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '_';
           });
}

std::string Trimmed(const char* text) {
    std::string line(text);
    const size_t start = line.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return "";
    return line.substr(start, line.find_last_not_of(" \t\r\n") - start + 1);
}

}  // namespace

const SlotClass* SystemDescription::FindClass(const std::string& name) const {
    for (const SlotClass& entry : classes)
        if (entry.name == name)
            return &entry;
    return nullptr;
}

const SlotDescription* SystemDescription::FindSlot(const std::string& className,
                                            const std::string& bootName) const {
    for (const SlotDescription& slot : slots)
        if (slot.className == className && slot.bootName == bootName)
            return &slot;
    return nullptr;
}

std::vector<std::string> SystemDescription::BootNames() const {
    std::vector<std::string> names;
    for (const SlotDescription& slot : slots)
        if (!classes.empty() && slot.className == classes.front().name)
            names.push_back(slot.bootName);
    return names;
}

bool CSystemDescription::Read(const std::string& path) {
    m_system = SystemDescription();
    m_system.file = path;
    m_problem.clear();
    m_sections.clear();
    m_seen.clear();
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        m_problem = path + ": " + std::strerror(errno);
        return false;
    }
    LineSource source{file, this};
    const int failed = ini_parse_stream(ReadLine, &source, TakeKey, this);
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    m_lines = source.number;
    if (!m_problem.empty())
        return false;
    if (readError) {
        m_problem = path + ": cannot be read";
        return false;
    }
    if (failed != 0)
        return Refuse(failed, "not a 'key = value' line or a [section]");
    return Check();
}

bool CSystemDescription::Refuse(int line, const std::string& reason) {
    if (m_problem.empty())
        m_problem = m_system.file + ":" + std::to_string(line) + ": " + reason;
    return false;
}

bool CSystemDescription::SeeLine(const char* line, int number, bool complete) {
    m_line = number;
    if (!m_problem.empty())
        return false;
    if (!complete)
        return Refuse(number, "line too long");
    const std::string text = Trimmed(line);
    if (!text.empty() && text[0] == '[' && text.find(']') != std::string::npos)
        return OpenSection(text.substr(1, text.find(']') - 1), number);
    return true;
}

bool CSystemDescription::OpenSection(const std::string& header, int number) {
    if (!m_sections.emplace(header, number).second)
        return Refuse(number, "[" + header + "] is given twice");
    if (header == "system" || header == "uboot" || header == "grub" || header == "script")
        return true;
    if (header.compare(0, 6, "class ") == 0) {
        SlotClass entry;
        entry.name = header.substr(6);
        entry.line = number;
        if (!IsBootName(entry.name))
            return Refuse(number, "a class name is letters, digits and '_'");
        m_system.classes.push_back(entry);
        return true;
    }
    if (header.compare(0, 5, "slot ") == 0) {
        SlotDescription entry;
        entry.name = header.substr(5);
        entry.line = number;
        const size_t dot = entry.name.find('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == entry.name.size())
            return Refuse(number, "a slot is named CLASS.BOOTNAME, e.g. [slot rootfs.A]");
        entry.className = entry.name.substr(0, dot);
        entry.bootName = entry.name.substr(dot + 1);
        m_system.slots.push_back(entry);
        return true;
    }
    return Refuse(number, "unknown section [" + header + "]");
}

bool CSystemDescription::Take(const std::string& section, const std::string& key,
                              const std::string& value) {
    if (!m_problem.empty())
        return false;
    if (section.empty())
        return Refuse(m_line, "'" + key + "' is outside any section");
    if (!m_seen.emplace(section + "/" + key, true).second)
        return Refuse(m_line, "'" + key + "' is given twice in [" + section + "]");
    if (value.empty())
        return Refuse(m_line, "'" + key + "' has no value");
    if (section == "system")
        return TakeSystem(key, value);
    if (section.compare(0, 6, "class ") == 0)
        return TakeClass(m_system.classes.back(), key, value);
    if (section.compare(0, 5, "slot ") == 0)
        return TakeSlot(m_system.slots.back(), key, value);
    return TakeBackend(section, key, value);
}

bool CSystemDescription::TakeNumber(const std::string& key, const std::string& value, uint64_t min,
                                    uint64_t max, unsigned& into) {
    uint64_t number = 0;
    const std::string problem = Core::Parse::Unsigned(value, min, max, number);
    if (!problem.empty())
        return Refuse(m_line, key + ": " + problem);
    into = static_cast<unsigned>(number);
    return true;
}

bool CSystemDescription::TakeSystem(const std::string& key, const std::string& value) {
    const std::map<std::string, std::string*> texts = {
        {"compatible", &m_system.compatible}, {"keyring", &m_system.keyring},
        {"bootloader", &m_system.bootloader}, {"cmdline", &m_system.cmdline},
        {"state", &m_system.state},           {"pre-install", &m_system.preInstall},
        {"post-install", &m_system.postInstall}};
    const auto text = texts.find(key);
    if (text != texts.end()) {
        *text->second = value;
        if (key == "bootloader" && value != "uboot" && value != "grub" && value != "script")
            return Refuse(m_line, "bootloader: '" + value + "' is none of uboot, grub, script");
        return true;
    }
    if (key == "threshold")
        return TakeNumber(key, value, 1, kMaxThreshold, m_system.threshold);
    if (key == "tries")
        return TakeNumber(key, value, 1, kMaxTries, m_system.tries);
    return Refuse(m_line, "unknown key '" + key + "' in [system]");
}

bool CSystemDescription::TakeBackend(const std::string& section, const std::string& key,
                                     const std::string& value) {
    if (section == "uboot" && key == "config")
        m_system.ubootConfig = value;
    else if (section == "grub" && key == "env")
        m_system.grubEnv = value;
    else if (section == "script" && key == "command")
        m_system.scriptCommand = value;
    else
        return Refuse(m_line, "unknown key '" + key + "' in [" + section + "]");
    return true;
}

bool CSystemDescription::TakeClass(SlotClass& entry, const std::string& key,
                                   const std::string& value) {
    if (key == "fragment") {
        entry.fragment = value;
        uint64_t type = 0;
        const std::string problem =
            value.compare(0, SlotClass::kFragmentTypeLength, SlotClass::kFragmentType) == 0
                ? Core::Parse::Unsigned(value.substr(SlotClass::kFragmentTypeLength), 0,
                                        UINT32_MAX, type)
                : "";
        return problem.empty() || Refuse(m_line, "fragment: " + problem);
    }
    if (key != "filetype")
        return Refuse(m_line, "unknown key '" + key + "' in [class " + entry.name + "]");
    entry.filetype = value;
    return true;
}

bool CSystemDescription::TakeSlot(SlotDescription& entry, const std::string& key,
                                  const std::string& value) {
    if (key == "device") {
        entry.device = value;
    } else if (key == "bootname") {
        entry.bootName = value;
    } else if (key == "kind") {
        if (value != "raw" && value != "file")
            return Refuse(m_line, "kind: '" + value + "' is neither raw nor file");
        entry.kind = value == "raw" ? SlotDescription::Kind::Raw : SlotDescription::Kind::File;
    } else {
        return Refuse(m_line, "unknown key '" + key + "' in [slot " + entry.name + "]");
    }
    return true;
}

bool CSystemDescription::Check() {
    if (!CheckSystem())
        return false;
    if (m_system.classes.empty())
        return Refuse(m_lines, "no [class NAME] section: nothing can be installed");
    for (size_t i = 0; i < m_system.slots.size(); ++i)
        if (!CheckSlot(m_system.slots[i], i))
            return false;
    const std::vector<std::string> bootNames = m_system.BootNames();
    for (const SlotClass& entry : m_system.classes)
        if (!CheckClass(entry, bootNames))
            return false;
    return true;
}

bool CSystemDescription::CheckSystem() {
    const auto system = m_sections.find("system");
    if (system == m_sections.end())
        return Refuse(m_lines, "no [system] section");
    const int line = system->second;
    if (m_system.compatible.empty())
        return Refuse(line, "[system] has no 'compatible'");
    if (m_system.keyring.empty())
        return Refuse(line, "[system] has no 'keyring'");
    if (m_system.bootloader.empty())
        return Refuse(line, "[system] has no 'bootloader'");
    if (m_system.bootloader == "script" && m_system.scriptCommand.empty()) {
        const auto script = m_sections.find("script");
        return Refuse(script != m_sections.end() ? script->second : line,
                      "bootloader script needs [script] command");
    }
    return true;
}

bool CSystemDescription::CheckSlot(const SlotDescription& entry, size_t index) {
    if (m_system.FindClass(entry.className) == nullptr)
        return Refuse(entry.line, "slot " + entry.name + ": no [class " + entry.className + "]");
    if (entry.device.empty())
        return Refuse(entry.line, "slot " + entry.name + " has no 'device'");
    if (!IsBootName(entry.bootName))
        return Refuse(entry.line, "slot " + entry.name + ": a boot name is letters, digits and '_'");
    for (size_t i = 0; i < index; ++i) {
        const SlotDescription& other = m_system.slots[i];
        if (other.device == entry.device)
            return Refuse(entry.line, "slot " + entry.name + " has the device of slot " + other.name);
        if (other.className == entry.className && other.bootName == entry.bootName)
            return Refuse(entry.line, "slot " + entry.name + " has the boot name of slot " +
                                         other.name);
    }
    return true;
}

bool CSystemDescription::CheckClass(const SlotClass& entry,
                                    const std::vector<std::string>& bootNames) {
    const std::string name = "class " + entry.name;
    if (entry.filetype.empty() == entry.fragment.empty())
        return Refuse(entry.line, name + " needs either 'filetype' or 'fragment'");
    std::set<std::string> names;
    for (const SlotDescription& slot : m_system.slots)
        if (slot.className == entry.name)
            names.insert(slot.bootName);
    if (names.size() < 2)
        return Refuse(entry.line, name + " needs two slots or more");
    if (names != std::set<std::string>(bootNames.begin(), bootNames.end()))
        return Refuse(entry.line, name + " has other boot names than class " +
                                     m_system.classes.front().name);
    for (const SlotClass& other : m_system.classes) {
        if (&other == &entry)
            break;
        if (!entry.filetype.empty() && other.filetype == entry.filetype)
            return Refuse(entry.line, name + " takes the filetype of class " + other.name);
        if (!entry.fragment.empty() && other.fragment == entry.fragment)
            return Refuse(entry.line, name + " takes the fragment of class " + other.name);
    }
    return true;
}
