#include "CDpkgStatus.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <string_view>

namespace {

using Paragraph = std::map<std::string, std::string>;

// Hands each paragraph of deb822 text to `take`, with the fields named in
// `wanted` only, each its first line's value (continuation lines, which start
// with a blank, are passed over), until `take` returns false; true then. The
// last paragraph goes to `take` without a blank line behind it only when
// `whole` (the text may be the start of a file).
template <typename Take>
bool Paragraphs(std::string_view text, std::initializer_list<std::string_view> wanted, bool whole,
                Take take) {
    Paragraph paragraph;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            if (!whole)
                return false;
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.find_first_not_of(" \t") == std::string_view::npos) {
            if (!paragraph.empty() && !take(paragraph))
                return true;
            paragraph.clear();
            continue;
        }
        const size_t colon = line.find(':');
        if (line[0] == ' ' || line[0] == '\t' || line[0] == '#' || colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        if (std::find(wanted.begin(), wanted.end(), name) == wanted.end()) {
            paragraph.emplace(std::string(), std::string());  // still a paragraph of fields
            continue;
        }
        const size_t first = line.find_first_not_of(" \t", colon + 1);
        const size_t last = line.find_last_not_of(" \t");
        paragraph[std::string(name)] =
            std::string(first == std::string_view::npos ? std::string_view()
                                                        : line.substr(first, last + 1 - first));
    }
    return whole && !paragraph.empty() && !take(paragraph);
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
    Paragraphs(status, {"Package", "Status", "Version", "Architecture", "Multi-Arch", "Source"},
               true, [&packages](const Paragraph& paragraph) {
                   Package package;
                   package.name = Field(paragraph, "Package");
                   if (package.name.empty() || !IsInstalled(Field(paragraph, "Status")))
                       return true;
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
                   return true;
               });
    std::sort(packages.begin(), packages.end(), [](const Package& a, const Package& b) {
        return a.name != b.name ? a.name < b.name : a.architecture < b.architecture;
    });
    return packages;
}

std::string CDpkgStatus::License(const std::string& copyright, bool whole, bool* decided) {
    // Only the machine-readable form, which a Format field opens, says which
    // licence covers which files.
    std::string license;
    bool first = true;
    const bool stopped = Paragraphs(copyright, {"Format", "Files", "License"}, whole,
                                    [&](const Paragraph& paragraph) {
                                        if (first && Field(paragraph, "Format").empty())
                                            return false;
                                        first = false;
                                        if (Field(paragraph, "Files") != "*")
                                            return true;
                                        license = Field(paragraph, "License");
                                        return false;
                                    });
    if (decided != nullptr)
        *decided = stopped || whole;
    return license;
}
