#include "NetOptions.h"

#include <nlohmann/json.hpp>

#include "Command.h"
#include "NetModule.h"
#include "Progress.h"

namespace Cli {

namespace {

constexpr uint64_t kMaxSeconds = CHttpSource::kMaxSeconds;
constexpr uint64_t kMaxRetries = CHttpSource::kMaxRetries;

std::string Line(const std::string& option, const char* text, size_t column) {
    std::string line = "      --" + option;
    line += line.size() + 1 < column ? std::string(column - line.size(), ' ') : "\n" +
                                                                                std::string(column, ' ');
    return line + text + "\n";
}

}  // namespace

std::vector<option> NetOptions(const char* keyName) {
    return {{"cacert", required_argument, nullptr, kCaCert},
            {"capath", required_argument, nullptr, kCaPath},
            {"cert", required_argument, nullptr, kCert},
            {keyName, required_argument, nullptr, kCertKey},
            {"connect-timeout", required_argument, nullptr, kConnectTimeout},
            {"speed-time", required_argument, nullptr, kSpeedTime},
            {"retries", required_argument, nullptr, kRetries}};
}

std::string NetHelp(const char* keyName, size_t column) {
    return Line("cacert=FILE", "check an HTTPS server with the CA certificates in FILE", column) +
           Line("capath=DIR", "or with those in the directory DIR", column) +
           Line("cert=FILE", "give the server the client certificate in FILE", column) +
           Line(std::string(keyName) + "=FILE", "its private key, when not in the certificate",
                column) +
           Line("connect-timeout=S", "give up connecting after S seconds (default 30)", column) +
           Line("speed-time=S", "cut a transfer below 1 KiB/s for S seconds (default 30)",
                column) +
           Line("retries=N", "try cut transfers again N times in all (default 3)", column);
}

int TakeNet(int c, const char* text, CHttpSource::Options& options) {
    const struct {
        int option;
        std::string* value;
    } texts[] = {{kCaCert, &options.caCert},
                 {kCaPath, &options.caPath},
                 {kCert, &options.cert},
                 {kCertKey, &options.key}};
    for (const auto& entry : texts) {
        if (entry.option == c) {
            *entry.value = text;
            return 1;
        }
    }
    const struct {
        int option;
        const char* name;
        uint64_t min, max;
        long* value;
    } numbers[] = {{kConnectTimeout, "--connect-timeout", 1, kMaxSeconds, &options.connectTimeout},
                   {kSpeedTime, "--speed-time", 1, kMaxSeconds, &options.lowSpeedTime}};
    for (const auto& entry : numbers) {
        uint32_t value = 0;
        if (entry.option == c) {
            if (!Number(entry.name, text, entry.min, entry.max, value))
                return -1;
            *entry.value = static_cast<long>(value);
            return 1;
        }
    }
    if (c != kRetries)
        return 0;
    uint32_t retries = 0;
    if (!Number("--retries", text, 0, kMaxRetries, retries))
        return -1;
    options.retries = retries;
    return 1;
}

std::unique_ptr<CPackageSource> OpenUrl(const std::string& name, const CHttpSource::Options& options,
                                        const CHttpSource::Counters** counters) {
    if (!CHttpSource::IsUrl(name))
        return nullptr;
    const CHttpSource::Counters* made = nullptr;
    std::unique_ptr<CPackageSource> source =
        OpenInNetModule(name, options, &Progress::SetReceived, made);
    if (counters != nullptr)
        *counters = made;
    return source;
}

std::string WithFetch(const std::string& document, const CHttpSource::Counters& counters) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::parse(document);
    fields["fetch"] = {{"bytes_fetched", counters.fetched},
                       {"requests", counters.requests},
                       {"retries", counters.retries}};
    return fields.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace Cli
