// The JSON document that tells a package check's result (pkgcheck -j, and
// the C API's and the Python module's reports), built in one place:
//
//   {"schema": 1, "file": ..., "ok": ..., "status": ..., "verdict": ...,
//    "problem": ..., "headers": [...], "checks": [...], "signature": {...}}
#pragma once

#include <string>

#include "CPackageStream.h"

// The document for `result`, the package named `file`, indented by two.
std::string PackageReportJson(const std::string& file, const CPackageStream::Result& result);
// The document of a check that could not be made (status 1): `cause` is what
// `file` (the package, a key or the output) gave, as the message says it.
std::string PackageFailureJson(const std::string& file, const std::string& cause);
