#include "PackageReport.h"

#include <nlohmann/json.hpp>

namespace {

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

std::string Dump(const nlohmann::ordered_json& doc) {
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

std::string PackageReportJson(const std::string& file, const CPackageStream::Result& result) {
    nlohmann::ordered_json doc = {{"schema", 1},
                                  {"file", file},
                                  {"ok", result.error == PackageError::Ok},
                                  {"status", PackageErrorStatus(result.error)},
                                  {"verdict", PackageErrorText(result.error)},
                                  {"problem", OrNull(result.problem)},
                                  {"headers", nlohmann::ordered_json::array()},
                                  {"checks", nlohmann::ordered_json::array()}};
    for (const auto& [name, value] : result.headers)
        doc["headers"].push_back({{"name", name}, {"value", value}});
    for (const CPackageStream::Item& item : result.checks)
        doc["checks"].push_back({{"name", item.name},
                                 {"stored", OrNull(item.stored)},
                                 {"computed", item.computed},
                                 {"ok", item.ok}});
    if (result.error != PackageError::NotAPackage)
        doc["signature"] = {{"state", CPackageTrust::StateText(result.trust.signature)},
                            {"keyid", OrNull(result.trust.keyId)}};
    return Dump(doc);
}

std::string PackageFailureJson(const std::string& file, const std::string& cause) {
    return Dump({{"schema", 1}, {"file", file}, {"ok", false}, {"status", 1}, {"problem", cause}});
}
