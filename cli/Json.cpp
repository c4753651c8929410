#include "Json.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Core.h"
#include "Parse.h"

namespace Cli {

namespace {

// Keys stay in the order they are written.
using Doc = nlohmann::ordered_json;

// A header line's value: filesize and target-filesize numbers and version decoded, when they read as
// numbers; any other line, or one that does not read, as stored.
Doc LineValue(const std::string& name, const std::string& value) {
    uint64_t size = 0;
    uint32_t packed = 0;
    if ((name == "filesize" || name == "target-filesize") &&
        Core::Parse::Unsigned(value, UINT64_MAX, size).empty())
        return size;
    if (name != "version" || !Core::Parse::StoredVersion(value, packed))
        return value;
    const Core::Version::Parts parts = Core::Version::FromNumber(packed);
    return {{"packed", packed},
            {"major", parts.major},
            {"minor", parts.minor},
            {"build", parts.build},
            {"text", Core::Version::Text(packed)}};
}

}  // namespace

// Every document starts with the version of its shape.
std::string Document(const Doc& fields) {
    Doc doc = {{"schema", kSchema}};
    doc.update(fields);
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

Doc HeaderLines(const std::vector<std::pair<std::string, std::string>>& lines) {
    Doc stored = Doc::object();
    for (const auto& [name, value] : lines)
        stored[name] = LineValue(name, value);
    return stored;
}

Doc HeaderLines(const std::string& headerText) {
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream text(headerText);
    std::string line;
    while (std::getline(text, line) && !line.empty()) {
        const std::string::size_type colon = line.find(": ");
        lines.emplace_back(line.substr(0, colon),
                           colon == std::string::npos ? "" : line.substr(colon + 2));
    }
    return HeaderLines(lines);
}

std::string BuildJson(const std::string& output, const char* kind, uint64_t size) {
    return Document({{"output", output}, {"kind", kind}, {"size", size}});
}

std::string StampJson(const std::string& output, const std::string& headerText) {
    Doc doc = {{"output", output}};
    doc.update(HeaderLines(headerText));
    return Document(doc);
}

std::string SignJson(const SignCommand::Outcome& made) {
    if (made.keyIds.empty())
        return Document({{"message", made.output}, {"size", made.messageSize}});
    if (!made.output.empty())
        return Document({{"output", made.output}, {"key_ids", made.keyIds}});
    if (!made.uri.empty())
        return Document({{"key_id", made.keyIds.front()}, {"uri", made.uri}});
    return Document({{"key_id", made.keyIds.front()},
                   {"private", made.privateKey},
                   {"public", made.publicKey}});
}

std::string PackageLinesJson(const std::string& file,
                             const std::vector<std::pair<std::string, std::string>>& lines) {
    return Document({{"file", file}, {"package", true}, {"lines", HeaderLines(lines)}});
}

std::string ExtractJson(const std::string& file, const std::string& directory, bool ok,
                        const std::vector<std::pair<std::string, uint64_t>>& extracted,
                        const std::vector<std::string>& messages) {
    Doc made = Doc::array();
    for (const auto& [name, size] : extracted)
        made.push_back({{"name", name}, {"size", size}});
    return Document({{"file", file},
                   {"directory", directory},
                   {"ok", ok},
                   {"extracted", made},
                   {"messages", messages}});
}

}  // namespace Cli
