#include "PackageReport.h"

#include <nlohmann/json.hpp>

#include "Core.h"

namespace {

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

std::string Dump(const nlohmann::ordered_json& doc) {
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// The header's judgement: version, signatures and policy.
void AddVerdict(nlohmann::ordered_json& doc, const CPackageTrust::Verdict& trust) {
    nlohmann::ordered_json version;
    if (trust.hasVersion) {
        const Core::Version::Parts parts = Core::Version::FromNumber(trust.version);
        version = {{"packed", trust.version},
                   {"major", parts.major},
                   {"minor", parts.minor},
                   {"build", parts.build}};
    }
    doc["version"] = version;
    nlohmann::ordered_json signers = nlohmann::ordered_json::array();
    for (const CPackageTrust::Signer& signer : trust.signers)
        signers.push_back(
            {{"keyid", signer.keyId}, {"state", CPackageTrust::StateText(signer.state)}});
    doc["signature"] = {{"state", CPackageTrust::StateText(trust.signature)},
                        {"keyid", OrNull(trust.keyId)},
                        {"verified", trust.verifiedKeys},
                        {"threshold", trust.threshold},
                        {"signers", signers}};
    nlohmann::ordered_json policy;
    if (trust.policyJudged)
        policy = {{"ok", trust.policyReason.empty()},
                  {"refused", OrNull(trust.policyRefused)},
                  {"reason", OrNull(trust.policyReason)}};
    doc["policy"] = policy;
}

// The bill of materials the header names: what it is, and whether it was checked.
void AddSbom(nlohmann::ordered_json& doc, const CPackageStream::Result::Sbom& sbom) {
    const CSbomDocument::Summary& summary = sbom.summary;
    nlohmann::ordered_json subject;
    if (sbom.checked)
        subject = {{"name", summary.name}, {"version", OrNull(summary.version)}};
    doc["sbom"] = {{"format", OrNull(summary.format)},
                   {"checked", sbom.checked},
                   {"subject", subject},
                   {"components", sbom.checked ? nlohmann::ordered_json(summary.components)
                                               : nlohmann::ordered_json()},
                   {"problem", OrNull(sbom.problem)}};
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
        AddVerdict(doc, result.trust);
    if (result.sbom.named)
        AddSbom(doc, result.sbom);
    return Dump(doc);
}

std::string PackageFailureJson(const std::string& file, const std::string& cause) {
    return Dump({{"schema", 1}, {"file", file}, {"ok", false}, {"status", 1}, {"problem", cause}});
}
