#include "CBootControl.h"

#include <algorithm>
#include <sstream>

#include "Parse.h"

namespace {

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::vector<std::string> CBootControl::Order() {
    std::istringstream words(m_env.Get(kOrder));
    std::vector<std::string> order;
    std::string name;
    while (words >> name)
        if (Has(m_names, name) && !Has(order, name))
            order.push_back(name);
    for (const std::string& known : m_names)
        if (!Has(order, known))
            order.push_back(known);
    return order;
}

unsigned CBootControl::TriesLeft(const std::string& name) {
    uint64_t left = 0;
    const std::string text = m_env.Get(LeftVariable(name));
    if (!Core::Parse::Unsigned(text, UINT32_MAX, left).empty())
        return m_tries;
    return static_cast<unsigned>(left);
}

std::string CBootControl::Next() {
    const std::vector<std::string> order = Order();
    for (const std::string& name : order)
        if (TriesLeft(name) > 0)
            return name;
    return order.empty() ? "" : order.front();
}

void CBootControl::SetOrder(const std::vector<std::string>& order) {
    std::string text;
    for (const std::string& name : order)
        text += (text.empty() ? "" : " ") + name;
    m_env.Set(kOrder, text);
}

bool CBootControl::MarkBad(const std::string& name) {
    std::vector<std::string> order = Order();
    order.erase(std::remove(order.begin(), order.end(), name), order.end());
    order.push_back(name);
    m_env.Set(LeftVariable(name), "0");
    SetOrder(order);
    return m_env.Save();
}

bool CBootControl::MakeNext(const std::string& name, unsigned tries) {
    std::vector<std::string> order = Order();
    order.erase(std::remove(order.begin(), order.end(), name), order.end());
    order.insert(order.begin(), name);
    m_env.Set(LeftVariable(name), std::to_string(tries));
    SetOrder(order);
    return m_env.Save();
}

bool CBootControl::MarkGood(const std::string& name) {
    m_env.Set(LeftVariable(name), std::to_string(m_tries));
    return m_env.Save();
}
