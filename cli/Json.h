// The JSON documents of fwkit's subcommands, for scripts. One document each, ended by
// a line feed, whose first member is "schema": the version of the documents' shape.
// Header lines are an object of NAME: VALUE wherever they appear, with filesize and
// target-filesize numbers and version {"packed", "major", "minor", "build", "text"}.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

#include "SignCommand.h"

namespace Cli {

constexpr int kSchema = 1;

// A document of `fields`, "schema" first, indented by two and ended by a line feed.
std::string Document(const nlohmann::ordered_json& fields);
// A header's lines as every document holds them: {NAME: VALUE} in stored order.
nlohmann::ordered_json HeaderLines(const std::vector<std::pair<std::string, std::string>>& lines);
// The same of a header block's text ("NAME: VALUE" lines up to an empty one).
nlohmann::ordered_json HeaderLines(const std::string& headerText);

// A firmware file written: {"output", "kind" (physical or logical), "size"}.
std::string BuildJson(const std::string& output, const char* kind, uint64_t size);
// A package written, from its header block: {"output", "filesize", "filetype", "md5",
// "version"}.
std::string StampJson(const std::string& output, const std::string& headerText);
// What fwkit sign or keygen made: {"output", "key_ids"} for a package signed,
// {"message", "size"} for a message written, {"key_id", "private", "public"} for a key
// pair made in files, {"key_id", "uri"} for one made in a token.
std::string SignJson(const SignCommand::Outcome& outcome);
// An upgrade package fwkit list read: {"file", "package": true, "lines": {NAME: VALUE}},
// the lines in file order (a name appears once in a header).
std::string PackageLinesJson(const std::string& file,
                             const std::vector<std::pair<std::string, std::string>>& lines);
// What fwkit extract did: {"file", "directory", "ok", "extracted": [{"name", "size"}],
// "messages": [...]}, the messages those it would print otherwise.
std::string ExtractJson(const std::string& file, const std::string& directory, bool ok,
                        const std::vector<std::pair<std::string, uint64_t>>& extracted,
                        const std::vector<std::string>& messages);

}  // namespace Cli
