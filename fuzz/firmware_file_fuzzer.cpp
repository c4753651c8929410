// Fuzz target: a firmware file of arbitrary bytes, parsed as the decoder does,
// listed, reported, parsed again with the bodies left to extraction, and every
// fragment the parse accepted extracted; then the same bytes once more with their
// checksums put right.
#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "CFirmwareFile.h"
#include "CFirmwareReport.h"
#include "ChecksumRepair.h"
#include "FuzzSupport.h"

namespace {

// The report agrees with the parse, is valid JSON, and names a failed check
// whenever the file got as far as a fragment.
void CheckReport(CFirmwareFile& fw, const std::string& input, size_t size) {
    const CFirmwareReport report(fw, input, static_cast<long long>(size));
    fuzz::Check(report.Ok() == fw.ParseComplete(), "report agrees with the parse");
    const bool reached =
        fw.GetHeader() != nullptr || fw.NoFragments() > 0 || fw.GetFailedFragment() != nullptr;
    fuzz::Check(report.Ok() || !reached || !report.FailureLines().empty(), "failure named");
    fuzz::Check(nlohmann::json::accept(report.Json()), "report is valid JSON");
}

// An extraction parses with the bodies unchecked and checks each body as it copies it
// (or reads it); the fragments whose bodies pass, up to the first that does not, must be
// exactly those the parse with every check accepts.
void CheckUncheckedParse(CFirmwareFile& checked, const std::string& input) {
    CFirmwareFile unchecked(input, CFirmwareFile::Messages::KeepOnly,
                            CFirmwareFile::Bodies::Unchecked);
    unsigned int intact = 0;
    while (intact < unchecked.NoFragments() && unchecked.BodyIntact(intact))
        ++intact;
    fuzz::Check(checked.NoFragments() == intact, "bodies checked later keep the same fragments");
    fuzz::Check(checked.ParseComplete() ==
                    (unchecked.ParseComplete() && intact == unchecked.NoFragments()),
                "bodies checked later keep the same verdict");
    for (unsigned int i = 0; i < intact; ++i)
        fuzz::Check(checked.GetFragmentName(i) == unchecked.GetFragmentName(i), "same names");
}

void ParseListExtract(const uint8_t* data, size_t size) {
    fuzz::ScratchDir& dir = fuzz::ScratchDir::Get();
    const std::string input = dir.Path("input.fw");
    const std::string output = dir.Path("fragment.bin");
    fuzz::WriteFile(input, data, size);
    {
        CFirmwareFile fw(input);
        const std::string listing = fw.ToString();
        fuzz::Check(listing.rfind("---------------------------\n", 0) == 0,
                    "listing begins with the separator");
        fuzz::Check(fw.NoFragments() == 0 || fw.GetFragment(0) != nullptr, "first fragment");
        fuzz::Check(fw.GetFragment(fw.NoFragments()) == nullptr, "fragment past the end");
        fuzz::Check(fw.GetFragmentName(fw.NoFragments()) == "Empty", "name past the end");
        if (CFirmwareFragmentLogical* header = fw.GetHeader())
            fuzz::Check(!header->ToString().empty(), "logical listing");
        CheckReport(fw, input, size);
        CheckUncheckedParse(fw, input);
        for (unsigned int i = 0; i < fw.NoFragments(); ++i) {
            fw.GetFragmentName(i);
            // An accepted fragment passed its body check, so its whole body is
            // in the file and comes out complete.
            const uint32_t written = fw.DumpRawFragment(i, output);
            fuzz::Check(fw.WriteComplete(), "accepted fragment extracted in full");
            fuzz::Check(written == fw.GetFragment(i)->GetRawDataSize(), "body length extracted");
            std::remove(output.c_str());
        }
    }
    std::remove(input.c_str());
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
    ParseListExtract(data, size);
    std::vector<uint8_t> repaired(data, data + size);
    fuzz::RepairChecksums(repaired);
    if (!std::equal(repaired.begin(), repaired.end(), data))
        ParseListExtract(repaired.data(), repaired.size());
    return 0;
}
