// The JSON documents of fwkit check and fwkit delta, in the shape of fwkit's other
// documents (Json.h): "schema" first, header lines as an object of NAME: VALUE.
#pragma once

#include <cstdint>
#include <string>

#include "CPackageStream.h"

namespace Cli {

// A package checked: pkgcheck's document with its "headers" as that object, and a
// signature that no key was given for said to be "checked": false, with the reason.
std::string CheckJson(const std::string& file, const CPackageStream::Result& result);
// A package fwkit delta wrote: {"output", "package", "base" (null for none), "size",
// "lines"}, the lines those of the new header block `headerText`.
std::string DeltaJson(const std::string& output, const std::string& package,
                      const std::string& base, uint64_t size, const std::string& headerText);

}  // namespace Cli
