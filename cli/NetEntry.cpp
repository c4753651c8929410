// The entry point of the network module, the one symbol it exports: the package
// module calls it to make the source of a package on a server.
#include <curl/curl.h>

#include <mutex>
#include <new>
#include <string>

#include "NetModule.h"

extern "C" __attribute__((visibility("default"))) CPackageSource* fwkit_net_open(
    const char* url, const CHttpSource::Options* options, Cli::NetFetched fetched,
    const CHttpSource::Counters** counters) {
    // libcurl's global state is the program's, started once before its first handle.
    static std::once_flag started;
    std::call_once(started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    try {
        CHttpSource* source = new CHttpSource(url, *options);
        if (fetched != nullptr)
            source->SetFetched(fetched);
        *counters = &source->GetCounters();
        return source;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The entry point has the type the package module calls it with.
[[maybe_unused]] constexpr Cli::NetEntry kNetEntry = &fwkit_net_open;
