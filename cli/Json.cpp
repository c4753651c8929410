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

// Every document starts with the version of its shape.
std::string Dumped(const Doc& fields) {
    Doc doc = {{"schema", kSchema}};
    doc.update(fields);
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// A header line's value: filesize a number and version decoded, when they read as
// numbers; any other line, or one that does not read, as stored.
Doc LineValue(const std::string& name, const std::string& value) {
    uint64_t size = 0;
    uint32_t packed = 0;
    if (name == "filesize" && Core::Parse::Unsigned(value, UINT64_MAX, size).empty())
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

std::string BuildJson(const std::string& output, const char* kind, uint64_t size) {
    return Dumped({{"output", output}, {"kind", kind}, {"size", size}});
}

std::string StampJson(const std::string& output, const std::string& headerText) {
    Doc doc = {{"output", output}};
    std::istringstream lines(headerText);
    std::string line;
    while (std::getline(lines, line) && !line.empty()) {
        const std::string::size_type colon = line.find(": ");
        const std::string name = line.substr(0, colon);
        doc[name] = LineValue(name, colon == std::string::npos ? "" : line.substr(colon + 2));
    }
    return Dumped(doc);
}

std::string SignJson(const SignCommand::Outcome& made) {
    if (made.keyIds.empty())
        return Dumped({{"message", made.output}, {"size", made.messageSize}});
    if (!made.output.empty())
        return Dumped({{"output", made.output}, {"key_ids", made.keyIds}});
    if (!made.uri.empty())
        return Dumped({{"key_id", made.keyIds.front()}, {"uri", made.uri}});
    return Dumped({{"key_id", made.keyIds.front()},
                   {"private", made.privateKey},
                   {"public", made.publicKey}});
}

std::string PackageLinesJson(const std::string& file,
                             const std::vector<std::pair<std::string, std::string>>& lines) {
    Doc stored = Doc::object();
    for (const auto& [name, value] : lines)
        stored[name] = LineValue(name, value);
    return Dumped({{"file", file}, {"package", true}, {"lines", stored}});
}

std::string ExtractJson(const std::string& file, const std::string& directory, bool ok,
                        const std::vector<std::pair<std::string, uint64_t>>& extracted,
                        const std::vector<std::string>& messages) {
    Doc made = Doc::array();
    for (const auto& [name, size] : extracted)
        made.push_back({{"name", name}, {"size", size}});
    return Dumped({{"file", file},
                   {"directory", directory},
                   {"ok", ok},
                   {"extracted", made},
                   {"messages", messages}});
}

}  // namespace Cli
