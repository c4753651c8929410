#include "Json.h"

#include <nlohmann/json.hpp>
#include <sstream>

#include "Core.h"

namespace Cli {

namespace {

// Keys stay in the order they are written.
using Doc = nlohmann::ordered_json;

std::string Dumped(const Doc& doc) {
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (name == "filesize") {
            doc[name] = std::stoull(value);
        } else if (name == "version") {
            const auto packed = static_cast<uint32_t>(std::stoll(value));
            const Core::Version::Parts parts = Core::Version::FromNumber(packed);
            doc[name] = {{"packed", packed},
                         {"major", parts.major},
                         {"minor", parts.minor},
                         {"build", parts.build}};
        } else {
            doc[name] = value;
        }
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
        stored[name] = value;
    return Dumped({{"file", file}, {"package", true}, {"lines", stored}});
}

}  // namespace Cli
