// The C API of the installer: a handle holds the settings and the texts it
// hands out; each call reads the system description anew, so that a
// long-running update client sees the device as it is. No exception leaves
// an entry point (any becomes FWKIT_E_MEMORY).
#include <memory>
#include <string>

#include "CHttpSource.h"
#include "CInstaller.h"
#include "CSystem.h"
#include "fwkit.h"

struct fwkit_install {
    std::string config = CSystemDescription::kDefaultPath;
    CInstaller::Options options;
    CHttpSource::Options network;
    std::string message;
    std::string json;
};

namespace {

// Runs `work` on the system the handle's description tells, after opening it;
// returns the result's code, the problem kept as the message.
template <typename Work>
int OnSystem(fwkit_install* install, Work work) noexcept {
    if (install == nullptr)
        return FWKIT_E_ARGUMENT;
    try {
        install->message.clear();
        CSystem system;
        InstallError error = system.Open(install->config);
        PackageError verdict = PackageError::Ok;
        std::string problem = system.Problem();
        if (error == InstallError::Ok)
            error = work(system, verdict, problem);
        if (error != InstallError::Ok)
            install->message = problem;
        return InstallErrorStatus(error, verdict);
    } catch (...) {
        return FWKIT_E_MEMORY;
    }
}

// A mark-* call: `mark` on the system, its problem kept.
template <typename Mark>
int Marked(fwkit_install* install, Mark mark) noexcept {
    return OnSystem(install, [&](CSystem& system, PackageError&, std::string& problem) {
        const InstallError error = mark(system);
        problem = system.Problem();
        return error;
    });
}

}  // namespace

fwkit_install* fwkit_install_new(void) {
    try {
        return new fwkit_install;
    } catch (...) {
        return nullptr;
    }
}

void fwkit_install_free(fwkit_install* install) { delete install; }

int fwkit_install_set_config(fwkit_install* install, const char* path) {
    if (install == nullptr || path == nullptr || *path == '\0')
        return FWKIT_E_ARGUMENT;
    try {
        install->config = path;
        return FWKIT_OK;
    } catch (...) {
        return FWKIT_E_MEMORY;
    }
}

int fwkit_install_set_allow_downgrade(fwkit_install* install, int allow) {
    if (install == nullptr)
        return FWKIT_E_ARGUMENT;
    install->options.allowDowngrade = allow != 0;
    return FWKIT_OK;
}

int fwkit_install_set_tries(fwkit_install* install, unsigned tries) {
    if (install == nullptr || tries > CSystemDescription::kMaxTries)
        return FWKIT_E_ARGUMENT;
    install->options.tries = tries;
    return FWKIT_OK;
}

void fwkit_network_options_init(fwkit_network_options* options) {
    if (options == nullptr)
        return;
    const CHttpSource::Options defaults;
    *options = fwkit_network_options();
    options->version = FWKIT_NETWORK_OPTIONS_VERSION;
    options->connect_timeout = static_cast<unsigned>(defaults.connectTimeout);
    options->speed_time = static_cast<unsigned>(defaults.lowSpeedTime);
    options->retries = defaults.retries;
}

int fwkit_install_set_network(fwkit_install* install, const fwkit_network_options* options) {
    if (install == nullptr)
        return FWKIT_E_ARGUMENT;
    if (options == nullptr) {
        install->network = CHttpSource::Options();
        return FWKIT_OK;
    }
    const auto seconds = [](unsigned value) {
        return value >= 1 && value <= static_cast<unsigned long>(CHttpSource::kMaxSeconds);
    };
    if (options->version == 0 || options->version > FWKIT_NETWORK_OPTIONS_VERSION || !seconds(options->connect_timeout) ||
        !seconds(options->speed_time) || options->retries > CHttpSource::kMaxRetries)
        return FWKIT_E_ARGUMENT;
    const auto text = [](const char* value) { return std::string(value ? value : ""); };
    try {
        CHttpSource::Options network;
        network.caCert = text(options->ca_file);
        network.caPath = text(options->ca_path);
        network.cert = text(options->cert);
        network.key = text(options->key);
        network.connectTimeout = options->connect_timeout;
        network.lowSpeedTime = options->speed_time;
        network.retries = options->retries;
        install->network = std::move(network);
        return FWKIT_OK;
    } catch (...) {
        return FWKIT_E_MEMORY;
    }
}

int fwkit_install_run(fwkit_install* install, const char* package) {
    if (package == nullptr)
        return FWKIT_E_ARGUMENT;
    return OnSystem(install, [&](CSystem& system, PackageError& verdict, std::string& problem) {
        install->json.clear();
        CInstaller installer(system);
        std::unique_ptr<CHttpSource> server;
        if (CHttpSource::IsUrl(package))
            server.reset(new CHttpSource(package, install->network));
        const CInstaller::Result& result = server ? installer.Run(*server, install->options)
                                                  : installer.Install(package, install->options);
        verdict = result.verdict;
        problem = result.problem;
        if (result.error == InstallError::Ok)
            install->json = CInstaller::ResultJson(package, result);
        return result.error;
    });
}

const char* fwkit_install_json(fwkit_install* install) {
    return install == nullptr || install->json.empty() ? nullptr : install->json.c_str();
}

int fwkit_install_status(fwkit_install* install, const char** json) {
    if (json == nullptr)
        return FWKIT_E_ARGUMENT;
    *json = nullptr;
    return OnSystem(install, [&](CSystem& system, PackageError&, std::string& problem) {
        CSystem::Status status;
        const InstallError error = system.GetStatus(status);
        problem = system.Problem();
        if (error == InstallError::Ok) {
            install->json = CSystem::StatusJson(status);
            *json = install->json.c_str();
        }
        return error;
    });
}

int fwkit_install_mark_good(fwkit_install* install) {
    return Marked(install, [](CSystem& system) { return system.MarkGood(); });
}

int fwkit_install_mark_bad(fwkit_install* install, const char* slot) {
    return Marked(install, [slot](CSystem& system) {
        return system.MarkBad(slot != nullptr ? slot : "");
    });
}

int fwkit_install_mark_active(fwkit_install* install, const char* slot) {
    if (slot == nullptr)
        return FWKIT_E_ARGUMENT;
    return Marked(install, [slot](CSystem& system) { return system.MarkActive(slot); });
}

const char* fwkit_install_message(fwkit_install* install) {
    return install == nullptr ? "" : install->message.c_str();
}
