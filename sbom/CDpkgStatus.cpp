#include "CDpkgStatus.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <string_view>
#include <utility>

namespace {

// Views of the text parsed, which outlives them.
using Paragraph = std::map<std::string_view, std::string_view>;

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
            paragraph.emplace();  // still a paragraph of fields
            continue;
        }
        const size_t first = line.find_first_not_of(" \t", colon + 1);
        const size_t last = line.find_last_not_of(" \t");
        paragraph[name] = first == std::string_view::npos ? std::string_view()
                                                          : line.substr(first, last + 1 - first);
    }
    return whole && !paragraph.empty() && !take(paragraph);
}

std::string_view Field(const Paragraph& paragraph, std::string_view name) {
    const auto found = paragraph.find(name);
    return found != paragraph.end() ? found->second : std::string_view();
}

// "installed" is the third word of "Status: install ok installed".
bool IsInstalled(std::string_view status) {
    const size_t last = status.find_last_of(' ');
    return last != std::string_view::npos && status.substr(last + 1) == "installed";
}

// The lines that start a Package field: at least as many as the packages
// installed, so that their list is sized once.
size_t PackageLines(std::string_view text) {
    constexpr std::string_view kField = "\nPackage:";
    size_t count = text.compare(0, kField.size() - 1, kField.substr(1)) == 0 ? 1 : 0;
    for (size_t at = text.find(kField); at != std::string_view::npos; at = text.find(kField, at + 1))
        ++count;
    return count;
}

}  // namespace

std::vector<CDpkgStatus::Package> CDpkgStatus::Installed(const std::string& status) {
    std::vector<Package> packages;
    packages.reserve(PackageLines(status));
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
                   const std::string_view source = Field(paragraph, "Source");
                   const size_t blank = source.find(' ');
                   package.source = source.empty() ? package.name : source.substr(0, blank);
                   const size_t open = source.find('(');
                   const size_t close = source.find(')');
                   package.sourceVersion = open != std::string_view::npos && close > open
                                               ? source.substr(open + 1, close - open - 1)
                                               : package.version;
                   packages.push_back(std::move(package));
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
