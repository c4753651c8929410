#include "CScriptEnv.h"

#include "CProgramRun.h"

std::string CScriptEnv::Get(const std::string& name) {
    for (auto changed = m_changed.rbegin(); changed != m_changed.rend(); ++changed)
        if (changed->first == name)
            return changed->second;
    CProgramRun run;
    std::string value;
    if (!run.Run({m_command, "get", name}, {}, &value)) {
        Fail(run.Problem());
        return "";
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

void CScriptEnv::Set(const std::string& name, const std::string& value) {
    m_changed.emplace_back(name, value);
}

bool CScriptEnv::Save() {
    if (!Problem().empty())
        return false;
    for (const auto& changed : m_changed) {
        CProgramRun run;
        if (!run.Run({m_command, "set", changed.first, changed.second}))
            return Fail(run.Problem());
    }
    m_changed.clear();
    return true;
}
