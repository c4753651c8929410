#include "CPackageHeader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>

#include "CPackageSignature.h"
#include "Parse.h"

namespace {

constexpr uint32_t kChunk = 4096;
constexpr size_t kSha256Digits = 64;
constexpr size_t kMd5Digits = 32;
// The lines that describe an encoded payload, beside "encoding".
const char* const kEncodedLines[] = {"base-sha256", "base-filesize", "target-filesize",
                                     "target-md5", "target-sha256"};
// A signature line of the most entries is still read whole by every reader.
static_assert(sizeof "signature: " - 1 +
                      CPackageSignature::ListValueSize(CPackageSignature::kMaxEntries) <=
                  static_cast<size_t>(CHeaderFile::kLongestLine),
              "a full signature line fits CHeaderFile's line");

bool IsWordByte(char c, bool name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte > 0x20 && byte < 0x7F && !(name && c == ':');
}

bool IsWord(const std::string& text, bool name) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [name](char c) { return IsWordByte(c, name); });
}

// A decimal number of at most 19 digits (no sign, no blanks), so it fits 64 bits.
bool ReadNumber(const std::string& text, uint64_t& number) {
    if (text.empty() || text.size() > 19 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// Whether `text` is `digits` lowercase hexadecimal digits.
bool IsHex(const std::string& text, size_t digits) {
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The header block CHeaderFile writes for `lines`.
std::string Written(const std::map<std::string, std::string>& lines) {
    CHeaderFile header;
    for (const auto& [name, value] : lines)
        header.SetHeader(name, value);
    return header.HeaderText();
}

}  // namespace

PackageError CPackageHeader::Fail(const std::string& problem) {
    m_problem = problem;
    return PackageError::NotAPackage;
}

PackageError CPackageHeader::Read(CBuffer& package) {
    m_text.clear();
    m_lines.clear();
    m_problem.clear();
    m_fileSize = 0;
    m_encoding = Encoding::None;
    m_targetSize = 0;
    m_baseSize.reset();
    PackageError error = ReadText(package);
    if (error == PackageError::Ok)
        error = ParseLines();
    if (error == PackageError::Ok)
        error = CheckRequired();
    return error;
}

size_t CPackageHeader::BlockEnd(const char* text, size_t size, size_t seen) {
    if (size == 0)
        return 0;
    if (text[0] == '\n')
        return 1;
    const size_t blank = std::string_view(text, size).find("\n\n", seen > 0 ? seen - 1 : 0);
    return blank == std::string_view::npos ? 0 : blank + 2;
}

// Takes bytes into m_text until the empty line that ends the block.
PackageError CPackageHeader::ReadText(CBuffer& package) {
    const uint32_t end = std::min(package.Size(), kMaxSize);
    char chunk[kChunk];
    while (m_text.size() < end) {
        const uint32_t at = static_cast<uint32_t>(m_text.size());
        const uint32_t got =
            package.Copy(at, std::min(kChunk, end - at), reinterpret_cast<uint8_t*>(chunk));
        if (got == 0)
            return PackageError::ReadFailed;
        m_text.append(chunk, got);
        const size_t length = BlockEnd(m_text.data(), m_text.size(), at);
        if (length != 0) {
            m_text.resize(length);
            return PackageError::Ok;
        }
    }
    return Fail(end == kMaxSize ? "no empty line ends the header in its first " +
                                      std::to_string(kMaxSize) + " bytes"
                                : "no empty line ends the header");
}

PackageError CPackageHeader::ParseLines() {
    size_t start = 0;
    for (size_t number = 1; start + 1 < m_text.size(); ++number) {
        const size_t end = m_text.find('\n', start);
        const std::string line = m_text.substr(start, end - start);
        start = end + 1;
        if (line.size() > static_cast<size_t>(CHeaderFile::kLongestLine))
            return Fail("header line " + std::to_string(number) + " is longer than " +
                        std::to_string(CHeaderFile::kLongestLine) + " bytes");
        const size_t colon = line.find(": ");
        const std::string name = line.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (!IsWord(name, true) || !IsWord(value, false))
            return Fail("header line " + std::to_string(number) + " is not \"name: value\"");
        if (Find(name) != nullptr)
            return Fail("header line " + std::to_string(number) + " repeats " + name);
        m_lines.emplace_back(name, value);
    }
    return PackageError::Ok;
}

PackageError CPackageHeader::CheckRequired() {
    const std::string* size = Find("filesize");
    if (size == nullptr)
        return Fail("no filesize line");
    if (!ReadNumber(*size, m_fileSize))
        return Fail("filesize " + *size + " is not a number");
    if (m_fileSize > kMaxPackageSize)
        return Fail("filesize " + *size + " is 4 GiB or more");
    if (Find("md5") == nullptr)
        return Fail("no md5 line");
    return CheckEncoding();
}

PackageError CPackageHeader::CheckEncoding() {
    const std::string* encoding = Find("encoding");
    if (encoding == nullptr) {
        for (const char* name : kEncodedLines) {
            if (Find(name) != nullptr)
                return Fail(std::string(name) + " line without an encoding line");
        }
        return PackageError::Ok;
    }
    if (*encoding == "zstd")
        m_encoding = Encoding::Zstd;
    else if (*encoding == "zstd-delta")
        m_encoding = Encoding::ZstdDelta;
    else
        return Fail("encoding " + *encoding + " is neither zstd nor zstd-delta");
    const std::string* base = Find("base-sha256");
    if (m_encoding == Encoding::ZstdDelta && base == nullptr)
        return Fail("no base-sha256 line");
    if (m_encoding == Encoding::Zstd && base != nullptr)
        return Fail("a base-sha256 line with encoding zstd");
    if (base != nullptr && !IsHex(*base, kSha256Digits))
        return Fail("base-sha256 " + *base + " is not 64 lowercase hexadecimal digits");
    if (CheckBaseSize() != PackageError::Ok)
        return PackageError::NotAPackage;
    const std::string* size = Find("target-filesize");
    const std::string* md5 = Find("target-md5");
    const std::string* sha256 = Find("target-sha256");
    if (size == nullptr || md5 == nullptr || sha256 == nullptr)
        return Fail(size == nullptr  ? "no target-filesize line"
                    : md5 == nullptr ? "no target-md5 line"
                                     : "no target-sha256 line");
    const std::string problem = Core::Parse::Unsigned(*size, kMaxPackageSize, m_targetSize);
    if (!problem.empty())
        return Fail("target-filesize: " + problem);
    if (!IsHex(*md5, kMd5Digits))
        return Fail("target-md5 " + *md5 + " is not 32 lowercase hexadecimal digits");
    if (!IsHex(*sha256, kSha256Digits))
        return Fail("target-sha256 " + *sha256 + " is not 64 lowercase hexadecimal digits");
    return PackageError::Ok;
}

// "base-filesize", when a delta has it: how many bytes of the base its
// base-sha256 covers (a slot may be larger than the image it holds).
PackageError CPackageHeader::CheckBaseSize() {
    const std::string* size = Find("base-filesize");
    if (size == nullptr)
        return PackageError::Ok;
    if (m_encoding != Encoding::ZstdDelta)
        return Fail("a base-filesize line with encoding zstd");
    uint64_t value = 0;
    const std::string problem = Core::Parse::Unsigned(*size, kMaxPackageSize, value);
    if (!problem.empty())
        return Fail("base-filesize: " + problem);
    m_baseSize = value;
    return PackageError::Ok;
}

const std::string* CPackageHeader::Find(const std::string& name) const {
    for (const Line& line : m_lines) {
        if (line.first == name)
            return &line.second;
    }
    return nullptr;
}

std::string CPackageHeader::SignedMessage() const {
    std::string message;
    for (const auto& [name, value] : m_lines) {
        if (name != "signature")
            message += name + ": " + value + "\n";
    }
    return message + "\n";
}

std::string CPackageHeader::Compose(const std::string& sha256, const std::string& signature) const {
    std::map<std::string, std::string> lines(m_lines.begin(), m_lines.end());
    lines["sha256"] = sha256;
    lines["signature"] = signature;
    return Written(lines);
}

bool CPackageHeader::IsValue(const std::string& text) {
    return IsWord(text, false);
}

bool CPackageHeader::SetLine(const std::string& name, const std::string& value) {
    if (!IsWord(name, true) || !IsWord(value, false))
        return false;
    for (Line& line : m_lines) {
        if (line.first == name) {
            line.second = value;
            return true;
        }
    }
    m_lines.emplace_back(name, value);
    return true;
}

void CPackageHeader::RemoveLine(const std::string& name) {
    m_lines.erase(std::remove_if(m_lines.begin(), m_lines.end(),
                                 [&](const Line& line) { return line.first == name; }),
                  m_lines.end());
}

size_t CPackageHeader::SignedSize(size_t signatures) const {
    return Compose(std::string(kSha256Digits, '0'),
                   std::string(CPackageSignature::ListValueSize(signatures), 'x'))
        .size();
}
