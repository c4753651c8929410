// How text taken from a file is shown in listings and messages.
#pragma once

#include <string>
#include <vector>

namespace Core {
namespace Text {

// A name from a file as it is shown in listings and messages: bytes below 0x20,
// the byte 0x7F and the backslash become C escapes, every other byte stays as stored.
std::string Escaped(const std::string& name);

// JSON documents, each ended by a line feed, as one array of them ended by a line
// feed: each document indented by two blanks more, as an element of the array.
std::string JsonArray(const std::vector<std::string>& documents);

}  // namespace Text
}  // namespace Core
