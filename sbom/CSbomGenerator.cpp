#include "CSbomGenerator.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "CSha256.h"
#include "Parse.h"

namespace {

using Json = nlohmann::ordered_json;
// Writes JSON text into a string as Json::dump does, without making a string
// of its own: the document is written into one buffer, a piece at a time.
using Writer = nlohmann::detail::serializer<Json>;

// A status file of a full distribution's packages is a few MiB; these are far above.
constexpr size_t kMaxStatus = 64u << 20;
constexpr size_t kMaxCopyright = 4u << 20;
// The "Files: *" paragraph comes first in nearly every copyright file; the
// rest of the file is read only when this much does not reach its end.
constexpr size_t kCopyrightStart = 4u << 10;
constexpr size_t kMaxList = 16u << 20;
constexpr size_t kMaxOsRelease = 64u << 10;

// The value of `key` in an os-release file ("KEY=value", maybe quoted).
std::string OsRelease(const std::string& text, const std::string& key) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size() + 1, key + "=") != 0)
            continue;
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return "";
}

// The files dpkg lists for the package, sorted, each with its SHA-256; the
// directories and links among them are passed over. `list` is a buffer.
Json Files(CImageTree& tree, const CDpkgStatus::Package& package, std::string& list) {
    const std::string info = "/var/lib/dpkg/info/" + package.name;
    if (!(package.multiArchSame && tree.Read(info + ":" + package.architecture + ".list", kMaxList, list)) &&
        !tree.Read(info + ".list", kMaxList, list))
        return Json();
    std::vector<std::string> paths;
    std::istringstream lines(list);
    std::string path;
    while (std::getline(lines, path))
        if (!path.empty() && path != "/.")
            paths.push_back(path);
    std::sort(paths.begin(), paths.end());
    Json files = Json::array();
    for (const std::string& file : paths) {
        CSha256 digest;
        if (!tree.Stream(
                file, [&digest](const char* data, size_t size) { digest.Update(data, size); }, false))
            continue;
        files.push_back({{"type", "file"},
                         {"name", file},
                         {"hashes", Json::array({{{"alg", "SHA-256"}, {"content", digest.HexDigest()}}})}});
    }
    return files;
}

// The licence of the "Files: *" paragraph of the package's copyright file,
// read into the buffer `copyright`.
std::string License(CImageTree& tree, const std::string& name, std::string& copyright) {
    const std::string path = "/usr/share/doc/" + name + "/copyright";
    if (!tree.ReadStart(path, kCopyrightStart, copyright))
        return "";
    bool decided = false;
    const std::string license =
        CDpkgStatus::License(copyright, copyright.size() < kCopyrightStart, &decided);
    if (decided)
        return license;
    return tree.Read(path, kMaxCopyright, copyright) ? CDpkgStatus::License(copyright) : "";
}

// A property of a component: {"name": NAME, "value": VALUE}.
Json Property(const char* name, const std::string& value) {
    Json property = Json::object();
    property["name"] = name;
    property["value"] = value;
    return property;
}

// Built field by field: an initializer list would copy every value once more.
// The package's files are read into `buffer`, kept from one package to the next.
Json Component(CImageTree& tree, const CDpkgStatus::Package& package, bool hashes,
               std::string& buffer) {
    std::string purl = CSbomGenerator::Purl(package);
    Json component = Json::object();
    component["type"] = "library";
    component["bom-ref"] = purl;
    component["name"] = package.name;
    component["version"] = package.version;
    const std::string license = License(tree, package.name, buffer);
    if (!license.empty())
        component["licenses"] = Json::array({{{"license", {{"name", license}}}}});
    component["purl"] = std::move(purl);
    Json& properties = component["properties"] = Json::array();
    properties.push_back(Property("deb:architecture", package.architecture));
    properties.push_back(Property("deb:source", package.source));
    if (package.sourceVersion != package.version)
        properties.push_back(Property("deb:source-version", package.sourceVersion));
    if (hashes) {
        Json files = Files(tree, package, buffer);
        if (!files.empty())
            component["components"] = std::move(files);
    }
    return component;
}

// A name-based UUID (version 5 form) from the SHA-256 of `text`.
std::string SerialNumber(const std::string& text) {
    std::string digest = CSha256::Of(text.data(), text.size()).substr(0, 16);
    digest[6] = static_cast<char>((digest[6] & 0x0f) | 0x50);
    digest[8] = static_cast<char>((digest[8] & 0x3f) | 0x80);
    const std::string hex = CSha256::Hex(digest);
    return "urn:uuid:" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) +
           "-" + hex.substr(16, 4) + "-" + hex.substr(20);
}

// The document's fields before its components, the serial number empty.
Json Head(CImageTree& tree, const CSbomGenerator::Settings& settings) {
    std::string release;
    if (!tree.Read("/etc/os-release", kMaxOsRelease, release))
        tree.Read("/usr/lib/os-release", kMaxOsRelease, release);
    const std::string name = !settings.name.empty() ? settings.name : OsRelease(release, "NAME");
    Json subject = {{"type", "operating-system"},
                    {"bom-ref", "subject"},
                    {"name", name.empty() ? "rootfs" : name}};
    const std::string version =
        !settings.version.empty() ? settings.version : OsRelease(release, "VERSION_ID");
    if (!version.empty())
        subject["version"] = version;
    Json metadata = Json::object();
    if (settings.hasTime)
        metadata["timestamp"] = Core::Parse::FormatUtcTime(settings.time);
    metadata["tools"] = {{"components", Json::array({{{"type", "application"},
                                                      {"name", "fwkit"},
                                                      {"version", settings.toolVersion}}})}};
    metadata["component"] = subject;
    Json head = {
        {"bomFormat", "CycloneDX"}, {"specVersion", "1.5"}, {"serialNumber", ""}, {"version", 1}};
    head["metadata"] = std::move(metadata);
    return head;
}

// Writes the document, its serial number empty, into `document` as Json::dump
// would (two spaces a level, invalid UTF-8 replaced), a component at a time:
// each is written where dump puts it and then let go, so that no tree of the
// whole document is held.
void Write(CImageTree& tree, const CSbomGenerator::Settings& settings,
           const std::vector<CDpkgStatus::Package>& packages, std::string& document) {
    Writer writer(nlohmann::detail::output_adapter<char, std::string>(document), ' ',
                  Json::error_handler_t::replace);
    writer.dump(Head(tree, settings), true, false, 2);
    document.resize(document.size() - 2);  // the head's closing "\n}"
    document += packages.empty() ? ",\n  \"components\": []" : ",\n  \"components\": [\n";
    std::string buffer;
    for (size_t i = 0; i < packages.size(); ++i) {
        document += "    ";
        writer.dump(Component(tree, packages[i], settings.hashes, buffer), true, false, 2, 4);
        document += i + 1 < packages.size() ? ",\n" : "\n  ]";
    }
    document += "\n}\n";
}

}  // namespace

std::string CSbomGenerator::Purl(const CDpkgStatus::Package& package) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string version;
    for (const char c : package.version) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' ||
                                c == '~';
        if (unreserved) {
            version += c;
        } else {
            version += '%';
            version += kHex[u >> 4];
            version += kHex[u & 15];
        }
    }
    return "pkg:deb/debian/" + package.name + "@" + version + "?arch=" + package.architecture;
}

bool CSbomGenerator::Generate(CImageTree& tree, std::string& document) {
    // The status file is read into the document's own buffer, which the
    // document takes over once the packages are parsed: its pages are touched
    // once, and the document grows only past the status file's size.
    if (!tree.Read("/var/lib/dpkg/status", kMaxStatus, document)) {
        m_problem = tree.Problem();
        document.clear();
        return false;
    }
    const std::vector<CDpkgStatus::Package> packages = CDpkgStatus::Installed(document);
    document.clear();
    Write(tree, m_settings, packages, document);
    // The serial number is that of the document with an empty one, put in its place.
    const std::string empty = "\"serialNumber\": \"\"";
    const size_t at = document.find(empty);
    document.insert(at + empty.size() - 1, SerialNumber(document));
    return true;
}
