#include "CGrubEnv.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "Output.h"

namespace {

constexpr char kSignature[] = "# GRUB Environment Block\n";

// GRUB escapes a backslash and a line feed in a value with a backslash.
std::string Unescaped(const std::string& text) {
    std::string value;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        value += text[i];
    }
    return value;
}

std::string Escaped(const std::string& value) {
    std::string text;
    for (const char c : value) {
        if (c == '\\' || c == '\n')
            text += '\\';
        text += c;
    }
    return text;
}

}  // namespace

bool CGrubEnv::Load() {
    m_variables.clear();
    std::ifstream file(m_path, std::ios::binary);
    if (!file)
        return errno == ENOENT || Fail(m_path + ": " + std::strerror(errno));
    std::string block((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (block.size() != kBlockSize || block.compare(0, std::strlen(kSignature), kSignature) != 0)
        return Fail(m_path + ": not a GRUB environment block of 1024 bytes");
    return Parse(block);
}

bool CGrubEnv::Parse(const std::string& block) {
    size_t at = std::strlen(kSignature);
    while (at < block.size() && block[at] != '#') {
        size_t end = at;
        while (end < block.size() && block[end] != '\n')
            end += block[end] == '\\' ? 2 : 1;
        if (end >= block.size())
            return Fail(m_path + ": a variable runs to the end of the block");
        const std::string line = block.substr(at, end - at);
        const size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0)
            return Fail(m_path + ": a line of the block is not name=value");
        m_variables.emplace_back(line.substr(0, equals), Unescaped(line.substr(equals + 1)));
        at = end + 1;
    }
    return true;
}

std::string CGrubEnv::Get(const std::string& name) {
    for (const auto& variable : m_variables)
        if (variable.first == name)
            return variable.second;
    return "";
}

void CGrubEnv::Set(const std::string& name, const std::string& value) {
    for (auto& variable : m_variables)
        if (variable.first == name) {
            variable.second = value;
            return;
        }
    m_variables.emplace_back(name, value);
}

std::string CGrubEnv::Compose() const {
    std::string block = kSignature;
    for (const auto& variable : m_variables)
        block += variable.first + "=" + Escaped(variable.second) + "\n";
    if (block.size() <= kBlockSize)
        block.append(kBlockSize - block.size(), '#');
    return block;
}

bool CGrubEnv::Save() {
    const std::string block = Compose();
    if (block.size() > kBlockSize)
        return Fail(m_path + ": the variables do not fit in 1024 bytes");
    Core::File::Output output(m_path);
    if (!output.Open() || !output.Write(block.data(), block.size()) || !output.Commit(true))
        return Fail(m_path + ": " + output.Cause());
    return true;
}
