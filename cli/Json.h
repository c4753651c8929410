// The JSON documents of the subcommands that write a file: what was written, for
// scripts. One document each, ended by a line feed.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SignCommand.h"

namespace Cli {

// A firmware file written: {"output", "kind" (physical or logical), "size"}.
std::string BuildJson(const std::string& output, const char* kind, uint64_t size);
// A package written, from its header block: {"output", "filesize", "filetype", "md5",
// "version": {"packed", "major", "minor", "build"}}.
std::string StampJson(const std::string& output, const std::string& headerText);
// What fwkit sign or keygen made: {"output", "key_ids"} for a package signed,
// {"message", "size"} for a message written, {"key_id", "private", "public"} for a key
// pair made in files, {"key_id", "uri"} for one made in a token.
std::string SignJson(const SignCommand::Outcome& outcome);
// An upgrade package fwkit list read: {"file", "package": true, "lines": {NAME: VALUE}},
// the lines as stored and in file order (a name appears once in a header).
std::string PackageLinesJson(const std::string& file,
                             const std::vector<std::pair<std::string, std::string>>& lines);

}  // namespace Cli
