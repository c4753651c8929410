#include "CSbomDocument.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// The text at `key` of `object`, empty when it is missing or not a string.
std::string Text(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

size_t ArraySize(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_array() ? found->size() : 0;
}

std::string CycloneDx(const Json& doc, CSbomDocument::Summary& summary) {
    const std::string version = Text(doc, "specVersion");
    if (version != "1.4" && version != "1.5" && version != "1.6")
        return "CycloneDX specVersion '" + version + "' is none of 1.4, 1.5 and 1.6";
    summary.format = "cyclonedx-" + version;
    const auto metadata = doc.find("metadata");
    const Json none = Json::object();
    const Json& component =
        metadata != doc.end() && metadata->is_object() && metadata->contains("component") &&
                (*metadata)["component"].is_object()
            ? (*metadata)["component"]
            : none;
    summary.name = Text(component, "name");
    summary.version = Text(component, "version");
    if (summary.name.empty())
        return "the CycloneDX document names no subject (metadata.component.name)";
    summary.components = ArraySize(doc, "components");
    return "";
}

// The SPDXID of the package the document describes: its documentDescribes, or
// the DESCRIBES relationship of SPDXRef-DOCUMENT; empty when there is none.
std::string Described(const Json& doc) {
    const auto describes = doc.find("documentDescribes");
    if (describes != doc.end() && describes->is_array() && !describes->empty() &&
        describes->front().is_string())
        return describes->front().get<std::string>();
    const auto relationships = doc.find("relationships");
    if (relationships == doc.end() || !relationships->is_array())
        return "";
    for (const Json& relation : *relationships) {
        if (relation.is_object() && Text(relation, "relationshipType") == "DESCRIBES" &&
            Text(relation, "spdxElementId") == "SPDXRef-DOCUMENT")
            return Text(relation, "relatedSpdxElement");
    }
    return "";
}

std::string Spdx(const Json& doc, CSbomDocument::Summary& summary) {
    summary.format = "spdx-2.3";
    summary.name = Text(doc, "name");
    const std::string described = Described(doc);
    const auto packages = doc.find("packages");
    const bool listed = packages != doc.end() && packages->is_array();
    summary.components = listed ? packages->size() : 0;
    for (size_t i = 0; listed && !described.empty() && i < packages->size(); ++i) {
        const Json& package = (*packages)[i];
        if (package.is_object() && Text(package, "SPDXID") == described) {
            summary.name = Text(package, "name");
            summary.version = Text(package, "versionInfo");
            --summary.components;
            break;
        }
    }
    if (summary.name.empty())
        return "the SPDX document names no subject (a described package or its name)";
    return "";
}

}  // namespace

std::string CSbomDocument::Inspect(const std::string& bytes, Summary& summary) {
    summary = Summary();
    const Json doc = Json::parse(bytes, nullptr, false);
    if (doc.is_discarded())
        return "not well-formed JSON";
    if (!doc.is_object())
        return "not a JSON object";
    if (Text(doc, "bomFormat") == "CycloneDX")
        return CycloneDx(doc, summary);
    const std::string spdx = Text(doc, "spdxVersion");
    if (spdx == "SPDX-2.3")
        return Spdx(doc, summary);
    if (!spdx.empty())
        return "SPDX version '" + spdx + "' is not SPDX-2.3";
    return "neither CycloneDX (bomFormat) nor SPDX (spdxVersion)";
}
