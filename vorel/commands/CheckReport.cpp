// The verdict of a check as pkgcheck prints it: the lines, one per check, or
// the JSON document.
#include "CheckReport.h"

#include <cstdio>
#include <string>

#include "Core.h"
#include "Messages.h"
#include "PackageReport.h"
#include "Text.h"

namespace CheckCommand {

const char kUnchecked[] = "not checked: no key given";

namespace {

using State = CPackageCheck::SignatureState;

// Said of a package refused for want of a key to check its signature with.
bool RefusedUnchecked(const Options& options, const CPackageCheck::Result& result) {
    return options.sayUnchecked && result.error == PackageError::Unsigned && Unchecked(result);
}

std::string SignatureLine(const Options& options, const CPackageCheck::Result& result) {
    const std::string key = result.trust.keyId.empty() ? "" : ", key " + result.trust.keyId;
    if (RefusedUnchecked(options, result))
        return std::string("signature FAILED: ") + kUnchecked + key;
    if (options.sayUnchecked && Unchecked(result))
        return std::string("signature ") + kUnchecked + key;
    const unsigned signers = static_cast<unsigned>(result.trust.signers.size());
    if (result.trust.signature == State::Verified && signers > 1)
        return "signature verified by " + std::to_string(result.trust.verifiedKeys) +
               " of the keys given (" + std::to_string(result.trust.threshold) + " needed)" + key;
    switch (result.trust.signature) {
        case State::Absent:
            return "signature absent";
        case State::Unsigned:
            return "signature FAILED: the package is not signed";
        case State::Unverified:
            return "signature unverified (no key given)" + key;
        case State::Verified:
            return "signature verified" + key;
        case State::Bad:
            return result.trust.keyId.empty() ? "signature FAILED: malformed"
                                              : "signature FAILED: does not verify" + key;
        case State::UnknownKey:
            return "signature FAILED: made by none of the keys given" + key;
        case State::TooFew:
            return "signature FAILED: " + CPackageTrust::Reason(result.trust);
    }
    return "signature FAILED";
}

// Whether the policy has anything to say: a policy was asked for, or the
// header has a policy line of its own.
bool PolicyShown(const Options& options, const CPackageCheck::Result& result) {
    if (!result.trust.policyJudged)
        return false;
    bool lines = false;
    for (const auto& line : result.headers)
        lines = lines || line.first == "compatible" || line.first == "expires";
    return lines || !options.compatible.empty() || options.hasMinimum ||
           !result.trust.policyReason.empty();
}

// The bill of materials the header names, when it does: what it is, or why it
// was refused.
std::string SbomLine(const CPackageCheck::Result::Sbom& sbom) {
    if (!sbom.problem.empty())
        return "sbom FAILED: " + sbom.problem;
    if (!sbom.checked)
        return "sbom not checked: " + sbom.summary.format + ", the document is not at hand";
    const CSbomDocument::Summary& summary = sbom.summary;
    return "sbom ok: " + summary.format + ", " + summary.name +
           (summary.version.empty() ? "" : " " + summary.version) + ", " +
           std::to_string(summary.components) + " components";
}

void PrintLines(const Options& options, const CPackageCheck::Result& result) {
    const std::string shown = Core::Text::Escaped(options.package) + ": ";
    if (result.error == PackageError::NotAPackage) {
        std::printf("%sheader FAILED: %s\n", shown.c_str(), result.problem.c_str());
    } else {
        std::printf("%sheader ok, %zu lines\n", shown.c_str(), result.headers.size());
        if (result.trust.hasVersion)
            std::printf("%sversion: %u (%s)\n", shown.c_str(), result.trust.version,
                        Core::Version::Text(result.trust.version).c_str());
        for (const CPackageCheck::Item& item : result.checks) {
            const std::string text = item.ok ? item.name + " ok: " + item.computed
                                             : item.name + " FAILED: stored " +
                                                   (item.stored.empty() ? "nothing" : item.stored) +
                                                   ", computed " + item.computed;
            std::printf("%s%s\n", shown.c_str(), text.c_str());
        }
        std::printf("%s%s\n", shown.c_str(), SignatureLine(options, result).c_str());
        if (PolicyShown(options, result))
            std::printf("%spolicy %s\n", shown.c_str(),
                        result.trust.policyReason.empty()
                            ? "ok"
                            : ("FAILED: " + result.trust.policyReason).c_str());
        if (result.sbom.named)
            std::printf("%s%s\n", shown.c_str(), SbomLine(result.sbom).c_str());
    }
    if (result.error == PackageError::Ok)
        std::printf("%sOK\n", shown.c_str());
    else if (RefusedUnchecked(options, result))
        std::printf("%sFAILED: signature %s\n", shown.c_str(), kUnchecked);
    else if (result.error == PackageError::NotAPackage || result.problem.empty())
        std::printf("%sFAILED: %s\n", shown.c_str(), PackageErrorText(result.error));
    else  // why a delta's base was refused, or why its payload did not decode
        std::printf("%sFAILED: %s: %s\n", shown.c_str(), PackageErrorText(result.error),
                    result.problem.c_str());
}

}  // namespace

bool Unchecked(const CPackageCheck::Result& result) {
    return result.error != PackageError::NotAPackage &&
           (result.trust.signature == State::Absent || result.trust.signature == State::Unverified);
}

void Emit(const Options& options, const std::string& document) {
    if (options.documents != nullptr)
        options.documents->push_back(document + "\n");
    else
        std::printf("%s\n", document.c_str());
}

void Print(const Options& options, const CPackageCheck::Result& result) {
    if (options.json)
        Emit(options, options.document != nullptr ? options.document(options.package, result)
                                                  : PackageReportJson(options.package, result));
    else if (!options.quiet)
        PrintLines(options, result);
}

int Fail(const Options& options, const std::string& file, const std::string& cause) {
    Messages::Complain(options.program, file, cause);
    if (options.json)
        Emit(options, PackageFailureJson(file, cause));
    return 1;
}

}  // namespace CheckCommand
