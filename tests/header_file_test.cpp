#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "CHeaderFile.h"
#include "ReaderAgreement.h"
#include "TestUtil.h"

namespace {

using Headers = std::map<std::string, std::string>;

class TracingHeaderFile : public CHeaderFile {
  public:
    using CHeaderFile::CHeaderFile;
    void TraceOn() { m_debug = true; }
};

struct ReadResult {
    bool ok = false;
    Headers headers;
    long dataOffset = -1;  // offset of the first data byte within the source
};

ReadResult ReadMemory(const std::string& text) {
    CHeaderFile header(text.data(), static_cast<int>(text.size()));
    ReadResult result;
    result.ok = header.ReadFile();
    result.headers = header.GetHeaders();
    result.dataOffset = static_cast<long>(header.GetBufferData() - text.data());
    return result;
}

ReadResult ReadFile(const std::string& text) {
    testutil::TempDir dir;
    testutil::WriteText(dir / "package", text);
    CHeaderFile header(dir / "package");
    ReadResult result;
    result.ok = header.ReadFile();
    result.headers = header.GetHeaders();
    FILE* data = header.GetFileData();
    if (data != nullptr) {
        result.dataOffset = std::ftell(data);
        std::fclose(data);
    }
    return result;
}

std::string Written(CHeaderFile& header) {
    testutil::TempDir dir;
    FILE* fp = std::fopen((dir / "out").c_str(), "wb");
    EXPECT_TRUE(header.WriteHeaders(fp));
    std::fclose(fp);
    return testutil::ReadText(dir / "out");
}

const char kStamped[] =
    "filesize: 5\n"
    "filetype: dalm_upgrade\n"
    "md5: 7ea8f1e3a8a4bc8bc1f9dbd6b5e3e2a4\n"
    "version: 16908291\n"
    "\n";

// The cases both sources read alike, run once from memory and once from a file.
class HeaderReading : public ::testing::TestWithParam<bool> {
  protected:
    ReadResult Read(const std::string& text) {
        return GetParam() ? ReadFile(text) : ReadMemory(text);
    }
};

TEST_P(HeaderReading, StampedPackageGivesItsHeadersAndTheImageStart) {
    const std::string header = kStamped;
    const ReadResult result = Read(header + "image");
    ASSERT_TRUE(result.ok);
    const Headers expected = {{"filesize", "5"},
                              {"filetype", "dalm_upgrade"},
                              {"md5", "7ea8f1e3a8a4bc8bc1f9dbd6b5e3e2a4"},
                              {"version", "16908291"}};
    EXPECT_EQ(result.headers, expected);
    EXPECT_EQ(result.dataOffset, static_cast<long>(header.size()));
}

TEST_P(HeaderReading, EmptySourceHasNoHeaders) {
    const ReadResult result = Read("");
    EXPECT_TRUE(result.ok);
    EXPECT_TRUE(result.headers.empty());
    EXPECT_EQ(result.dataOffset, 0);
}

TEST_P(HeaderReading, WithoutEmptyLineTheDataStartsAtTheEnd) {
    for (const std::string text : {"a: 1\nb: 2", "a: 1\nb: 2\n"}) {
        const ReadResult result = Read(text);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.headers, (Headers{{"a", "1"}, {"b", "2"}}));
        EXPECT_EQ(result.dataOffset, static_cast<long>(text.size()));
    }
}

TEST_P(HeaderReading, CarriageReturnsAreIgnored) {
    const ReadResult result = Read("a: 1\r\nb: 2\r\n\r\ndata");
    EXPECT_EQ(result.headers, (Headers{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(result.dataOffset, 14);
}

TEST_P(HeaderReading, LaterDuplicateWins) {
    EXPECT_EQ(Read("a: 1\nb: 2\na: 3\n\n").headers, (Headers{{"a", "3"}, {"b", "2"}}));
}

TEST_P(HeaderReading, WordSplitAndColonRules) {
    const ReadResult result = Read(
        "two:: 1\n"         // only the last colon goes
        ": empty\n"         // a lone colon names the empty header
        "apart : x y\n"     // a colon standing apart is the value
        "nocolon 3\n"       // the colon may be missing
        " \t lead:\t4 5\n"  // leading whitespace, tabs, a third word ignored
        "blank: a b\n"      // a value with a blank reads up to the blank
        "\n");
    const Headers expected = {{"two:", "1"},    {"", "empty"}, {"apart", ":"},
                              {"nocolon", "3"}, {"lead", "4"}, {"blank", "a"}};
    EXPECT_EQ(result.headers, expected);
}

TEST_P(HeaderReading, LinesThatDoNotHoldTwoWordsEndTheHeader) {
    EXPECT_EQ(Read("a: 1\nb:2\nc: 3\n").headers, (Headers{{"a", "1"}}));
    EXPECT_EQ(Read("a: 1\n \t\nc: 3\n").dataOffset, 8);
    EXPECT_EQ(Read("a: 1\nsingle\nc: 3\n").dataOffset, 12);
}

TEST_P(HeaderReading, LongLineIsSplitAfter1023Bytes) {
    // 1500 bytes: the first 1023 are one line, the other 477 the next one.
    const std::string line = "a: " + std::string(1020, 'v') + "b: " + std::string(474, 'w');
    ASSERT_EQ(line.size(), 1500u);
    const ReadResult result = Read(line + "\n\ndata");
    EXPECT_EQ(result.headers,
              (Headers{{"a", std::string(1020, 'v')}, {"b", std::string(474, 'w')}}));
    EXPECT_EQ(result.dataOffset, 1502);
}

INSTANTIATE_TEST_SUITE_P(MemoryAndFile, HeaderReading, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "File" : "Memory";
                         });

TEST(HeaderFile, LineOfExactly1023BytesDiffersBetweenMemoryAndFile) {
    const std::string line = "a: " + std::string(1020, 'v');
    const std::string text = line + "\nb: 2\n\ndata";
    const ReadResult memory = ReadMemory(text);
    EXPECT_EQ(memory.headers, (Headers{{"a", std::string(1020, 'v')}, {"b", "2"}}));
    EXPECT_EQ(memory.dataOffset, static_cast<long>(text.size()) - 4);
    // The file reader fills its line buffer, then reads the line feed as an empty line.
    const ReadResult file = ReadFile(text);
    EXPECT_EQ(file.headers, (Headers{{"a", std::string(1020, 'v')}}));
    EXPECT_EQ(file.dataOffset, 1024);
}

// "name: value" of `length` bytes, the value zeros and a last "17".
std::string Line(const std::string& name, size_t length) {
    return name + ": " + std::string(length - name.size() - 4, '0') + "17";
}

// The stamped lines with `more` and `last` after them, and five image bytes.
std::string Package(const std::string& last, const std::string& more = "") {
    return "filesize: 5\nfiletype: dalm_upgrade\nmd5: " + std::string(32, 'a') + "\n" + more + last +
           "\n\nimage";
}

const std::string kSigned = "sha256: " + std::string(64, 'a') +
                            "\nsignature: ed25519:0123456789abcdef:" + std::string(86, 'A') + "==\n";

// A header block of `size` bytes: 65 lines of 1,000 bytes and a version line of the rest.
std::string Block(size_t size) {
    std::string filler;
    for (int n = 10; n < 75; ++n)
        filler += Line("f" + std::to_string(n), 1000) + "\n";
    return Package(Line("version", size + 5 - Package("", filler).size()), filler);
}

// Every header the strict reader accepts is read alike from memory, from a file and
// through CVorelBuffer (the same header set, the same image start); it refuses the others.
TEST(HeaderReaders, AgreeOnEveryHeaderTheStrictReaderAccepts) {
    const struct {
        const char* what;
        std::string package;
        bool accepted;
    } rows[] = {
        {"stamped", Package("version: 16908291"), true},
        {"signed", Package("version: 7", kSigned), true},
        {"lines not in name order", "md5: x\nfilesize: 0\n\n", true},
        {"colon inside a value", Package("version: 1:2"), true},
        {"largest filesize", "filesize: 4294967295\nmd5: x\n\n", true},
        {"filesize of 4 GiB", "filesize: 4294967296\nmd5: x\n\n", false},
        {"line of 1,022 bytes", Package(Line("version", CHeaderFile::kLongestLine)), true},
        {"line of 1,023 bytes", Package(Line("version", 1023)), false},
        {"line of 1,024 bytes", Package(Line("version", 1024)), false},
        {"signed, version line of 1,024 bytes", Package(Line("version", 1024), kSigned), false},
        // cut into a header line, a word that ends the header and 21 bytes of "image"
        {"line of 2,067 bytes", Package(Line("version", 1023) + std::string(1044, 'x')), false},
        {"block of 65,536 bytes", Block(CPackageHeader::kMaxSize), true},
        {"block of 65,537 bytes", Block(CPackageHeader::kMaxSize + 1), false},
        {"CR LF", "filesize: 0\r\nmd5: x\r\n\r\n", false},
        {"empty value", Package("version: "), false},
        {"colon without its blank", Package("version:"), false},
        {"empty line first", "\n" + Package("version: 7"), false},
        {"blank inside a value", Package("version: 1 2"), false},
        {"tab after the colon", Package("version:\t1"), false},
        {"NUL inside a value", Package(std::string("version: 1\0" "2", 12)), false},
        {"a name twice", Package("md5: x"), false},
        {"no empty line", "filesize: 0\nmd5: x\n", false},
    };
    testutil::TempDir dir;
    for (const auto& [what, package, accepted] : rows) {
        const auto* data = reinterpret_cast<const uint8_t*>(package.data());
        const fuzz::Readings read = fuzz::ReadHeaders(data, package.size(), dir / "p");
        EXPECT_EQ(read.Accepted(), accepted) << what << ": " << read.problem;
        EXPECT_TRUE(!read.Accepted() || read.Agree()) << what;
    }
}

TEST(HeaderFile, MemoryOfSizeZeroOrLessReadsNothing) {
    const std::string text = "a: 1\n\n";
    for (int size : {0, -5}) {
        CHeaderFile header(text.data(), size);
        EXPECT_TRUE(header.ReadFile());
        EXPECT_TRUE(header.GetHeaders().empty());
        EXPECT_EQ(header.GetBufferData(), text.data());
    }
}

TEST(HeaderFile, MemoryIsReadOnlyUpToItsSize) {
    const std::string text = "a: 1\nb: 2\n\n";
    CHeaderFile header(text.data(), 5);
    EXPECT_TRUE(header.ReadFile());
    EXPECT_EQ(header.GetHeaders(), (Headers{{"a", "1"}}));
    EXPECT_EQ(header.GetBufferData(), text.data() + 5);
}

TEST(HeaderFile, NoSourceIsReported) {
    CHeaderFile header;
    header.SetHeader("kept", "1");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(header.ReadFile());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CHeaderFile::ReadFile: no filename or input buffer initialized\n");
    EXPECT_EQ(header.GetHeaders(), (Headers{{"kept", "1"}}));
}

TEST(HeaderFile, MissingFileIsReported) {
    testutil::TempDir dir;
    CHeaderFile header(dir / "missing");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(header.ReadFile());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "CHeaderFile::ReadFile:fopen: No such file or directory\n");
    EXPECT_TRUE(header.GetHeaders().empty());
    EXPECT_EQ(header.GetFileData(), nullptr);
}

TEST(HeaderFile, ReadingAgainMergesIntoTheSet) {
    const std::string text = "a: 1\n\n";
    CHeaderFile header(text.data(), static_cast<int>(text.size()));
    header.SetHeader("a", "0");
    header.SetHeader("z", "9");
    ASSERT_TRUE(header.ReadFile());
    header.SetHeader("a", "changed");
    ASSERT_TRUE(header.ReadFile());
    EXPECT_EQ(header.GetHeaders(), (Headers{{"a", "1"}, {"z", "9"}}));
    EXPECT_EQ(header.GetBufferData(), text.data() + text.size());
}

TEST(HeaderFile, TracesGoToStandardOutput) {
    const std::string text = "a: 1\nb 2\n\nimage";
    TracingHeaderFile header(text.data(), static_cast<int>(text.size()));
    header.TraceOn();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(header.ReadFile());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "got 'a:''1'\n"
              "read name: 'a' value: '1'\n"
              "got 'b''2'\n"
              "read name: 'b' value: '2'\n"
              "end of headers, bye\n"
              "found 2 headers\n");
}

TEST(HeaderFile, WritesNonEmptyHeadersInNameOrder) {
    CHeaderFile header;
    EXPECT_EQ(Written(header), "\n");
    header.SetHeader("version", "-5");
    header.SetHeader("md5", "d41d8cd98f00b204e9800998ecf8427e");
    header.SetHeader("filetype", "dalm_upgrade");
    header.SetHeader("filesize", "0");
    header.SetHeader("empty", "");
    header.SetHeader("\xC3\xA9t\xC3\xA9", "x");  // bytes above 0x7F sort after ASCII
    header.SetHeader("file", "y");               // a prefix sorts first
    EXPECT_EQ(Written(header),
              "file: y\n"
              "filesize: 0\n"
              "filetype: dalm_upgrade\n"
              "md5: d41d8cd98f00b204e9800998ecf8427e\n"
              "version: -5\n"
              "\xC3\xA9t\xC3\xA9: x\n"
              "\n");
    EXPECT_EQ(header.GetHeader("empty"), "");
    EXPECT_EQ(header.GetHeader("never"), "");
    EXPECT_EQ(header.GetHeaders().count("never"), 0u);
}

}  // namespace
