#include "CDpkgStatus.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace {

using Paragraph = std::map<std::string, std::string>;

// Splits deb822 text into its paragraphs, each field its first line's value
// (continuation lines, which start with a blank, are passed over).
std::vector<Paragraph> Paragraphs(const std::string& text) {
    std::vector<Paragraph> paragraphs(1);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {
            if (!paragraphs.back().empty())
                paragraphs.emplace_back();
            continue;
        }
        const size_t colon = line.find(':');
        if (line[0] == ' ' || line[0] == '\t' || line[0] == '#' || colon == std::string::npos)
            continue;
        const size_t start = line.find_first_not_of(" \t", colon + 1);
        const size_t end = line.find_last_not_of(" \t");
        paragraphs.back()[line.substr(0, colon)] =
            start == std::string::npos ? "" : line.substr(start, end + 1 - start);
    }
    return paragraphs;
}

std::string Field(const Paragraph& paragraph, const char* name) {
    const auto found = paragraph.find(name);
    return found != paragraph.end() ? found->second : "";
}

// "installed" is the third word of "Status: install ok installed".
bool IsInstalled(const std::string& status) {
    const size_t last = status.find_last_of(' ');
    return last != std::string::npos && status.substr(last + 1) == "installed";
}

}  // namespace

std::vector<CDpkgStatus::Package> CDpkgStatus::Installed(const std::string& status) {
    std::vector<Package> packages;
    for (const Paragraph& paragraph : Paragraphs(status)) {
        Package package;
        package.name = Field(paragraph, "Package");
        if (package.name.empty() || !IsInstalled(Field(paragraph, "Status")))
            continue;
        package.version = Field(paragraph, "Version");
        package.architecture = Field(paragraph, "Architecture");
        package.multiArchSame = Field(paragraph, "Multi-Arch") == "same";
        // "Source: glibc" or "Source: glibc (2.36-9)" when the versions differ.
        const std::string source = Field(paragraph, "Source");
        const size_t blank = source.find(' ');
        package.source = source.empty() ? package.name : source.substr(0, blank);
        const size_t open = source.find('(');
        const size_t close = source.find(')');
        package.sourceVersion = open != std::string::npos && close > open
                                    ? source.substr(open + 1, close - open - 1)
                                    : package.version;
        packages.push_back(package);
    }
    std::sort(packages.begin(), packages.end(), [](const Package& a, const Package& b) {
        return a.name != b.name ? a.name < b.name : a.architecture < b.architecture;
    });
    return packages;
}

std::string CDpkgStatus::License(const std::string& copyright) {
    const std::vector<Paragraph> paragraphs = Paragraphs(copyright);
    // Only the machine-readable form says which licence covers which files.
    if (paragraphs.empty() || Field(paragraphs.front(), "Format").empty())
        return "";
    for (const Paragraph& paragraph : paragraphs) {
        if (Field(paragraph, "Files") == "*")
            return Field(paragraph, "License");
    }
    return "";
}
