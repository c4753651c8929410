#include "CFirmwareReport.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <utility>

#include "CFirmwareFile.h"
#include "CFirmwareFragment.h"
#include "CFirmwareFragmentLogical.h"
#include "Text.h"

namespace {

using Fragment = CFirmwareReport::Fragment;
// Keys stay in the order they are written, so the document reads in a fixed order.
using Doc = nlohmann::ordered_json;
using State = CFirmwareFragment::HeaderState;

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned int>(value));
    return text;
}

std::string CrcProblem(const char* what, uint16_t computed, uint16_t stored) {
    return std::string(what) + " CRC " + Hex16(computed) + " does not match the stored " +
           Hex16(stored);
}

uint64_t Claimed(const Fragment& f) {
    return uint64_t{f.headerLength.value_or(0)} + f.bodyLength;
}

// What the header checks of `fragment` found, or empty when they all held.
std::string HeaderProblem(const CFirmwareFragment& fragment) {
    const uint32_t available = fragment.GetEncodedDataSize();
    const uint32_t length = fragment.GetStoredHeaderLength();
    switch (fragment.GetHeaderState()) {
        case State::NotRead:
            return "its header was not read";
        case State::TooSmall:
        case State::BadLength:
            if (available <= 39)
                return std::to_string(available) + " bytes are too few for a header";
            return "header length " + std::to_string(length) + " runs past the " +
                   std::to_string(available) + " bytes available";
        case State::BadNameLength:
            return "header length " + std::to_string(length) + " is too short for its name";
        case State::BadCRC:
            return CrcProblem("header", fragment.GetComputedHeaderCRC(),
                              fragment.GetStoredHeaderCRC());
        case State::Good:
            break;
    }
    return std::string();
}

// The fragment as its header describes it; the body check is left to the caller.
Fragment Describe(const CFirmwareFragment& fragment) {
    Fragment f;
    f.offset = fragment.GetEncodedData();
    f.problem = HeaderProblem(fragment);
    const State state = fragment.GetHeaderState();
    if (state != State::NotRead && state != State::TooSmall)
        f.headerLength = fragment.GetStoredHeaderLength();
    if (state == State::BadCRC || state == State::Good) {
        f.storedHeaderCrc = fragment.GetStoredHeaderCRC();
        f.computedHeaderCrc = fragment.GetComputedHeaderCRC();
    }
    if (state != State::Good)
        return f;
    f.fieldsRead = true;
    f.name = fragment.GetName();
    f.type = fragment.GetType();
    f.release = fragment.GetRelease();
    f.version = fragment.GetVersion();
    f.build = fragment.GetBuild();
    f.day = fragment.GetDay();
    f.month = fragment.GetMonth();
    f.year = fragment.GetYear();
    f.bodyOffset = fragment.GetRawData();
    f.bodyLength = fragment.GetRawDataSize();
    f.storedBodyCrc = fragment.GetRawDataCRC();
    return f;
}

// Adds the outcome of the body check that the parse made on `fragment`.
void AddBodyCheck(Fragment& f, const CFirmwareFragment& fragment, long long fileSize) {
    f.computedBodyCrc = fragment.GetComputedBodyCRC();
    if (!fragment.BodyComplete()) {
        f.problem = "data of " + std::to_string(f.bodyLength) + " bytes at offset " +
                    std::to_string(f.bodyOffset) + " runs past the end of the file (" +
                    std::to_string(fileSize) + " bytes)";
    } else if (*f.computedBodyCrc != *f.storedBodyCrc) {
        f.problem = CrcProblem("data", *f.computedBodyCrc, *f.storedBodyCrc);
    }
}

// A fragment of a checked header and body.
Fragment Checked(const CFirmwareFragment& fragment, long long fileSize) {
    Fragment f = Describe(fragment);
    if (f.fieldsRead)
        AddBodyCheck(f, fragment, fileSize);
    return f;
}

std::string Who(const Fragment& f) {
    const std::string kind = f.logical ? "Logical header" : "Fragment";
    if (f.fieldsRead)
        return kind + " " + Core::Text::Escaped(f.name);
    return kind + " at offset " + std::to_string(f.offset);
}

template <typename T>
Doc OrNull(bool known, T value) {
    return known ? Doc(value) : Doc(nullptr);
}

template <typename T>
Doc OrNull(const std::optional<T>& value) {
    return value ? Doc(*value) : Doc(nullptr);
}

Doc CrcJson(const std::optional<uint16_t>& stored, const std::optional<uint16_t>& computed) {
    return {{"stored", OrNull(stored)},
            {"computed", OrNull(computed)},
            {"ok", stored && computed && *stored == *computed}};
}

std::string HexOf(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

// The logical header has no index; its article number and count follow its fields.
Doc FragmentJson(const Fragment& f, size_t index) {
    const bool known = f.fieldsRead;
    Doc j = {
        {"index", index},
        {"name", OrNull(known, f.name)},
        {"name_hex", OrNull(known, HexOf(f.name))},
        {"type", OrNull(known, f.type)},
        {"release", OrNull(known, f.release)},
        {"version", OrNull(known, f.version)},
        {"build", OrNull(known, f.build)},
        {"day", OrNull(known, f.day)},
        {"month", OrNull(known, f.month)},
        {"year", OrNull(known, f.year)},
        {"header_length", OrNull(f.headerLength)},
        {"body_offset", OrNull(known, f.bodyOffset)},
        {"body_length", OrNull(known, f.bodyLength)},
        {"header_crc", CrcJson(f.storedHeaderCrc, f.computedHeaderCrc)},
        {"body_crc", CrcJson(f.storedBodyCrc, f.computedBodyCrc)},
        {"ok", f.problem.empty()},
        {"problem", OrNull(!f.problem.empty(), f.problem)},
    };
    if (f.logical) {
        j.erase("index");
        j["article"] = OrNull(known, f.article);
        j["count"] = OrNull(known, f.count);
    }
    return j;
}

// One line of the listing: index (or "-"), type, release.version.build, date, data
// bytes, name.
std::string ListingLine(const Fragment& f, const std::string& index) {
    char line[96];
    if (!f.fieldsRead) {
        std::snprintf(line, sizeof line, "%5s %5s %-13s %-10s %10s ", index.c_str(), "?", "?",
                      "?", "?");
        return line + std::string("?\n");
    }
    const std::string triple = std::to_string(f.release) + "." + std::to_string(f.version) +
                               "." + std::to_string(f.build);
    std::snprintf(line, sizeof line, "%5s %5u %-13s %04u-%02u-%02u %10u ", index.c_str(),
                  static_cast<unsigned>(f.type), triple.c_str(), static_cast<unsigned>(f.year),
                  static_cast<unsigned>(f.month), static_cast<unsigned>(f.day),
                  static_cast<unsigned>(f.bodyLength));
    return line + f.name + "\n";
}

}  // namespace

CFirmwareReport::CFirmwareReport(std::string path, long long size, std::string message)
    : m_path(std::move(path)), m_size(size), m_kind("invalid"), m_messages{std::move(message)} {}

CFirmwareReport::CFirmwareReport(CFirmwareFile& file, std::string path, long long size)
    : m_path(std::move(path)),
      m_size(size),
      m_kind("invalid"),
      m_ok(file.ParseComplete()),
      m_messages(file.GetMessages()) {
    for (unsigned int i = 0; i < file.NoFragments(); ++i)
        m_fragments.push_back(Checked(*file.GetFragment(i), size));
    if (file.GetHeader() != nullptr) {
        m_kind = "logical";
        AddLogical(*file.GetHeader(), size);
    } else if (file.NoFragments() > 0 || file.GetFailedFragment() != nullptr) {
        m_kind = "physical";
    }
    WalkDamaged(file, size);
    if (file.GetFailedFragment() != nullptr)
        AddFailed(*file.GetFailedFragment(), size);
    else if (m_logical && m_logical->problem.empty() && !m_ok)
        CheckAccounting(file.GetHeader()->GetNoPhysObj());
}

void CFirmwareReport::AddLogical(CFirmwareFragmentLogical& logical, long long size) {
    Fragment f = Checked(logical, size);
    f.logical = true;
    f.article = logical.GetArticleNo();
    f.count = logical.GetNoPhysObj();
    m_logical = f;
}

// Length of the logical data the fragments already reported do not claim.
uint64_t CFirmwareReport::Unclaimed() const {
    uint64_t claimed = 0;
    for (const Fragment& f : m_fragments)
        claimed += Claimed(f);
    const uint64_t length = m_logical ? m_logical->bodyLength : 0;
    return claimed < length ? length - claimed : 0;
}

// A fragment that failed inside a logical file had its body checked only when
// its header and body fit in the logical data not yet claimed.
void CFirmwareReport::AddFailed(CFirmwareFragment& fragment, long long size) {
    Fragment f = Describe(fragment);
    if (f.fieldsRead) {
        const uint64_t unclaimed = Unclaimed();
        if (m_logical && Claimed(f) > unclaimed) {
            f.problem = "header and data of " + std::to_string(Claimed(f)) +
                        " bytes do not fit in the " + std::to_string(unclaimed) +
                        " bytes left of the logical data";
        } else {
            AddBodyCheck(f, fragment, size);
        }
    }
    m_fragments.push_back(f);
}

// A fragment that passes in damaged logical data is intact: the damage lies elsewhere.
void CFirmwareReport::WalkDamaged(CFirmwareFile& file, long long size) {
    file.WalkDamagedLogical([this, size](const CFirmwareFragment& fragment, bool passed) {
        Fragment f = Checked(fragment, size);
        if (!passed && f.problem.empty())
            f.problem = "does not fit in the logical data";
        m_walked.push_back(f);
    });
}

void CFirmwareReport::CheckAccounting(uint32_t announced) {
    const uint64_t unclaimed = Unclaimed();
    if (m_fragments.size() < announced) {
        m_accounting = "announces " + std::to_string(announced) + " fragments, its data holds " +
                       std::to_string(m_fragments.size());
    } else if (unclaimed != 0) {
        m_accounting = std::to_string(unclaimed) + " bytes of its data are left over after its " +
                       std::to_string(announced) + " fragments";
    }
}

std::vector<std::string> CFirmwareReport::FailureLines() const {
    std::vector<std::string> lines;
    if (m_logical && !m_logical->problem.empty())
        lines.push_back(Who(*m_logical) + ": " + m_logical->problem);
    if (m_logical && !m_accounting.empty())
        lines.push_back(Who(*m_logical) + ": " + m_accounting);
    for (const Fragment& f : m_walked)
        lines.push_back(Who(f) + ": " + (f.problem.empty() ? "intact" : f.problem));
    for (const Fragment& f : m_fragments) {
        if (!f.problem.empty())
            lines.push_back(Who(f) + ": " + f.problem);
    }
    return lines;
}

std::string CFirmwareReport::Listing() const {
    std::string text = "    #  TYPE RELEASE       DATE            BYTES NAME\n";
    if (m_logical)
        text += ListingLine(*m_logical, "-");
    for (size_t i = 0; i < m_fragments.size(); ++i)
        text += ListingLine(m_fragments[i], std::to_string(i));
    return text;
}

std::string CFirmwareReport::Json() const {
    Doc fragments = Doc::array();
    for (size_t i = 0; i < m_fragments.size(); ++i)
        fragments.push_back(FragmentJson(m_fragments[i], i));
    Doc doc = {
        {"schema", 1},
        {"file", m_path},
        {"size", OrNull(m_size >= 0, m_size)},
        {"kind", m_kind},
        {"ok", m_ok},
        {"messages", m_messages},
        {"fragments", std::move(fragments)},
    };
    if (m_logical)
        doc["logical"] = FragmentJson(*m_logical, 0);
    if (!m_walked.empty()) {
        Doc walked = Doc::array();
        for (size_t i = 0; i < m_walked.size(); ++i)
            walked.push_back(FragmentJson(m_walked[i], i));
        doc["walked"] = std::move(walked);
    }
    return doc.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}
