#include "NetModule.h"

#include <dlfcn.h>

namespace Cli {

namespace {

// An object of the package module, whose address tells the loader the module's path.
const char kHere = 0;

// Stands in for a server that cannot be reached because the module did not load.
class CUnloadedSource : public CPackageSource {
  public:
    CUnloadedSource(std::string url, const std::string& reason)
        : m_url(std::move(url)), m_problem("cannot load the network module (" + reason + ")") {}
    const std::string& Name() const override { return m_url; }
    uint64_t Size() const override { return 0; }
    PackageError Read(uint64_t, uint64_t, const Sink&) override { return PackageError::OpenFailed; }
    PackageError ReadAttachment(const std::string&, uint64_t, std::string&) override {
        return PackageError::OpenFailed;
    }
    const std::string& Problem() const override { return m_problem; }

  private:
    std::string m_url;
    std::string m_problem;
};

// The network module's entry point, from the directory the package module was
// loaded from (the build tree, or fwkit's private library directory); null after
// setting `reason`.
NetEntry LoadEntry(std::string& reason) {
    Dl_info here;
    if (dladdr(&kHere, &here) == 0 || here.dli_fname == nullptr) {
        reason = "the package module's directory is unknown";
        return nullptr;
    }
    const std::string module = here.dli_fname;
    const std::string path = module.substr(0, module.rfind('/') + 1) + kNetModuleFile;
    // Loaded once per process: later calls find it loaded, and it stays until
    // fwkit ends, as the sources it makes may.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* entry = handle != nullptr ? dlsym(handle, kNetModuleEntry) : nullptr;
    if (entry == nullptr) {
        const char* error = dlerror();
        reason = error != nullptr ? error : path + ": cannot be loaded";
        return nullptr;
    }
    // POSIX has dlsym return a function as void*.
    return reinterpret_cast<NetEntry>(entry);
}

}  // namespace

std::unique_ptr<CPackageSource> OpenInNetModule(const std::string& url,
                                                const CHttpSource::Options& options,
                                                NetFetched fetched,
                                                const CHttpSource::Counters*& counters) {
    std::string reason;
    const NetEntry entry = LoadEntry(reason);
    counters = nullptr;
    CPackageSource* made =
        entry != nullptr ? entry(url.c_str(), &options, fetched, &counters) : nullptr;
    if (made != nullptr)
        return std::unique_ptr<CPackageSource>(made);
    counters = nullptr;
    if (entry != nullptr)
        reason = "out of memory";
    return std::unique_ptr<CPackageSource>(new CUnloadedSource(url, reason));
}

}  // namespace Cli
