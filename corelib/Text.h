// How text taken from a file is shown in listings and messages.
#pragma once

#include <string>

namespace Core {
namespace Text {

// A name from a file as it is shown in listings and messages: bytes below 0x20,
// the byte 0x7F and the backslash become C escapes, every other byte stays as stored.
std::string Escaped(const std::string& name);

}  // namespace Text
}  // namespace Core
