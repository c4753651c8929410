// The network module: a private shared module beside the package module, holding
// CHttpSource with libcurl and the thirty-odd libraries libcurl loads. The package
// module loads it only for a package named by a URL, so that the subcommands that
// read local files start without them (their loading took longer here than most
// local checks).
#pragma once

#include <memory>
#include <string>

#include "CHttpSource.h"
#include "CPackageSource.h"

namespace Cli {

// The module's file name, and the name of its one entry point.
constexpr char kNetModuleFile[] = "fwkit-net.so";
constexpr char kNetModuleEntry[] = "fwkit_net_open";

// Told the body bytes received so far, as they arrive.
using NetFetched = void (*)(uint64_t fetched);

// The entry point: a new CHttpSource for `url` (libcurl started for the
// process the first time), telling `fetched` (unless null) of its progress, its
// counters in `counters`; null when it could not be made. The package module
// sees the source only as a CPackageSource: nothing of CHttpSource's own code
// or type information is in it.
using NetEntry = CPackageSource* (*)(const char* url, const CHttpSource::Options* options,
                                      NetFetched fetched,
                                      const CHttpSource::Counters** counters);

// A source for `url` made by the module, found beside the package module; when
// the module cannot be loaded, a source whose every read fails with OpenFailed,
// saying "cannot load the network module (REASON)", and `counters` null.
std::unique_ptr<CPackageSource> OpenInNetModule(const std::string& url,
                                                const CHttpSource::Options& options,
                                                NetFetched fetched,
                                                const CHttpSource::Counters*& counters);

}  // namespace Cli
