// The JSON documents of the subcommands that write a file: what was written, for
// scripts. One document each, ended by a line feed.
#pragma once

#include <cstdint>
#include <string>

namespace Cli {

// A firmware file written: {"output", "kind" (physical or logical), "size"}.
std::string BuildJson(const std::string& output, const char* kind, uint64_t size);
// A package written, from its header block: {"output", "filesize", "filetype", "md5",
// "version": {"packed", "major", "minor", "build"}}.
std::string StampJson(const std::string& output, const std::string& headerText);

}  // namespace Cli
