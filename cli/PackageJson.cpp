#include "PackageJson.h"

#include <nlohmann/json.hpp>

#include "CheckCommand.h"
#include "CheckReport.h"
#include "Json.h"
#include "PackageReport.h"

namespace Cli {

std::string CheckJson(const std::string& file, const CPackageStream::Result& result) {
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(PackageReportJson(file, result));
    doc["headers"] = HeaderLines(result.headers);
    const bool unchecked = CheckCommand::Unchecked(result);
    if (doc.contains("signature")) {
        doc["signature"]["checked"] = !unchecked;
        if (unchecked)
            doc["signature"]["reason"] = std::string("signature ") + CheckCommand::kUnchecked;
    }
    if (unchecked && result.error == PackageError::Unsigned)
        doc["verdict"] = std::string("signature ") + CheckCommand::kUnchecked;
    std::string text = Document(doc);
    text.pop_back();  // the documents of several packages go into one array
    return text;
}

std::string DeltaJson(const std::string& output, const std::string& package,
                      const std::string& base, uint64_t size, const std::string& headerText) {
    return Document({{"output", output},
                     {"package", package},
                     {"base", base.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(base)},
                     {"size", size},
                     {"lines", HeaderLines(headerText)}});
}

}  // namespace Cli
