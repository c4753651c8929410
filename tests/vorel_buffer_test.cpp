// Tests of CVorelBuffer: decoding package headers and the byte view over them.
#include <gtest/gtest.h>

#include <memory>

#include "CFileBuffer.h"
#include "CVorelBuffer.h"
#include "Core.h"
#include "TestUtil.h"

using testutil::Bytes;
using testutil::ToBytes;

namespace {

const std::string kMd5 = "0123456789abcdef0123456789abcdef";

std::string StampedHeader(size_t size, const std::string& version = "16908291") {
    return "filesize: " + std::to_string(size) + "\nfiletype: dalm_upgrade\nmd5: " + kMd5 +
           "\nversion: " + version + "\n\n";
}

Bytes Join(const std::string& text, const Bytes& data) {
    Bytes all = ToBytes(text);
    all.insert(all.end(), data.begin(), data.end());
    return all;
}

// Reads the whole view through Copy, in chunks that may span header and data.
Bytes ReadView(CVorelBuffer& view) {
    Bytes all;
    uint8_t chunk[1000];
    for (uint32_t got; (got = view.Copy(static_cast<uint32_t>(all.size()), 1000, chunk)) != 0;) {
        all.insert(all.end(), chunk, chunk + got);
    }
    return all;
}

// A file of the given bytes, read through a CFileBuffer and a view over it.
class VorelBufferTest : public testing::Test {
  protected:
    CVorelBuffer& Over(const Bytes& content, uint32_t offset = 0) {
        testutil::WriteBytes(m_path, content);
        m_view = offset == 0 ? std::make_unique<CVorelBuffer>(&m_file)
                             : std::make_unique<CVorelBuffer>(&m_file, offset);
        return *m_view;
    }
    CVorelBuffer& Over(const std::string& text) { return Over(ToBytes(text)); }
    // Decodes `text` and returns what Decode printed.
    std::string DecodeText(const std::string& text, bool expected) {
        CVorelBuffer& view = Over(text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(view.Decode(), expected) << text;
        return testing::internal::GetCapturedStdout();
    }

    testutil::TempDir m_dir;
    std::string m_path = m_dir / "package";
    CFileBuffer m_file{m_path};
    std::unique_ptr<CVorelBuffer> m_view;
};

TEST_F(VorelBufferTest, DecodesPackageAndViewReproducesIt) {
    const Bytes data = testutil::RandomBytes(5000);
    const std::string header = StampedHeader(data.size());
    const Bytes package = Join(header, data);
    CVorelBuffer& view = Over(package);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(view.Decode());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(view.GetHeader("filesize"), "5000");
    EXPECT_EQ(view.GetHeader("filetype"), "dalm_upgrade");
    EXPECT_EQ(view.GetHeader("md5"), kMd5);
    EXPECT_EQ(view.GetHeader("version"), "16908291");
    EXPECT_EQ(view.GetRawData(), header.size());
    EXPECT_EQ(view.GetRawDataSize(), 5000u);
    EXPECT_EQ(view.GetHeaderSize(), header.size());
    EXPECT_EQ(view.Size(), package.size());
    EXPECT_EQ(ReadView(view), package);
    EXPECT_EQ(view.At(0), 'f');
    EXPECT_EQ(view.At(static_cast<uint32_t>(header.size()) + 7), data[7]);
    EXPECT_EQ(view.At(view.Size()), 0);
}

TEST_F(VorelBufferTest, PackageInsideLargerBufferEndsWithThePackage) {
    const Bytes data = testutil::RandomBytes(300, 2);
    const std::string header = StampedHeader(data.size());
    Bytes content = Join(std::string(100, 'z'), Join(header, data));
    content.insert(content.end(), 50, 0xAB);  // bytes behind the package
    CVorelBuffer& view = Over(content, 100);
    EXPECT_EQ(view.Size(), 2u);  // text only until the data size is known
    ASSERT_TRUE(view.Decode());
    EXPECT_EQ(view.GetRawData(), 100 + header.size());
    EXPECT_EQ(ReadView(view), Join(header, data));
    uint8_t buff[10];
    EXPECT_EQ(view.Copy(view.Size() - 3, 10, buff), 3u);
    EXPECT_EQ(view.Copy(view.Size(), 10, buff), 0u);
    EXPECT_EQ(view.Copy(UINT32_MAX, 10, buff), 0u);
    EXPECT_EQ(view.At(view.Size()), 0);
    EXPECT_EQ(view.At(UINT32_MAX), 0);
}

TEST_F(VorelBufferTest, WrapsBareImage) {
    const Bytes image = testutil::RandomBytes(10, 3);
    CVorelBuffer& view = Over(image);
    EXPECT_EQ(view.Size(), 12u);
    EXPECT_EQ(view.At(0), '\n');
    EXPECT_EQ(view.At(1), '\n');
    view.SetHeader("filesize", 10u);
    EXPECT_EQ(view.GetHeaderSize(), 14u);
    EXPECT_EQ(view.Size(), 24u);
    uint8_t buff[24] = {};
    EXPECT_EQ(view.Copy(0, 24, buff), 14u);
    EXPECT_EQ(std::string(buff, buff + 14), "filesize: 10\n\n");
    EXPECT_EQ(view.Copy(14, 10, buff), 10u);
    EXPECT_EQ(Bytes(buff, buff + 10), image);
    EXPECT_EQ(view.At(0), 'f');
    EXPECT_EQ(view.At(14), image[0]);
    EXPECT_EQ(view.Copy(20, 10, buff), 4u);
    EXPECT_EQ(view.Copy(24, 10, buff), 0u);
    EXPECT_EQ(view.At(24), 0);
    EXPECT_EQ(view.GetRawDataSize(), 10u);  // setting filesize leaves the data size alone
    uint8_t byte = 1;
    EXPECT_EQ(view.Write(&byte, 1), 0u);
    EXPECT_EQ(testutil::ReadBytes(m_path), image);
}

TEST_F(VorelBufferTest, StopsAtEndOfBufferWithoutEmptyLine) {
    DecodeText("filesize: 10\nfiletype: x\n", false);
    EXPECT_EQ(m_view->GetRawData(), 0u);
    EXPECT_EQ(m_view->GetHeader("filetype"), "x");
    DecodeText("", false);
    EXPECT_FALSE(Over(ToBytes("filesize: 1\n\n"), 100).Decode());  // offset past the end
    // A header that has not ended within the cap is read no further.
    std::string lines;
    while (lines.size() < CVorelBuffer::kMaxHeaderSize)
        lines += "h" + std::to_string(lines.size()) + ": 1\n";
    DecodeText(lines + "filesize: 1\n\nD", false);
    EXPECT_EQ(m_view->GetRawData(), 0u);
    EXPECT_EQ(m_view->GetHeader("filesize"), "");
}

TEST_F(VorelBufferTest, ReportsMalformedLines) {
    EXPECT_EQ(DecodeText("filetype: a\nfilesize:10\n\n", false), "Error in vorel header\n");
    EXPECT_EQ(m_view->GetHeader("filetype"), "a");
    EXPECT_EQ(m_view->GetRawData(), 0u);
    EXPECT_EQ(DecodeText("filesize: 1\n: x\n\n", false),
              "Value without variable name in vorel header\n");
}

TEST_F(VorelBufferTest, ReadsFileSizeAsUnsigned32BitNumber) {
    DecodeText("filetype: a\n\n", false);
    EXPECT_EQ(m_view->GetRawData(), 13u);
    EXPECT_EQ(m_view->GetHeader("filesize"), "");
    const std::pair<std::string, uint32_t> good[] = {
        {"  10", 10}, {"12abc", 12}, {"+7", 7}, {"4294967295", UINT32_MAX}};
    for (const auto& [value, size] : good) {
        DecodeText("filesize: " + value + "\n\n", true);
        EXPECT_EQ(m_view->GetRawDataSize(), size) << value;
    }
    for (const char* value : {"abc", "", "4294967296", "-1", "99999999999999999999999"}) {
        DecodeText(std::string("filesize: ") + value + "\n\n", false);
    }
}

TEST_F(VorelBufferTest, TakesNamesAndValuesByteForByte) {
    DecodeText("\nmy name: a b:c\r\nfilesize: 1\nk: old\nk: new\n\nD", true);
    EXPECT_EQ(m_view->GetHeader("my name"), "a b:c\r");
    EXPECT_EQ(m_view->GetHeader("k"), "new");
    EXPECT_EQ(m_view->GetRawData(), 44u);
    DecodeText("junk\nfilesize: 3\n\n", false);  // the line runs into the next name
    EXPECT_EQ(m_view->GetHeader("junk\nfilesize"), "3");
    DecodeText("filesize: 1\nabc\n\nD", true);  // a name cut off by the empty line
    EXPECT_EQ(m_view->GetRawData(), 17u);
}

TEST_F(VorelBufferTest, RebuildsTextWithEmptyValuesAndKeepsEarlierHeaders) {
    CVorelBuffer& view = Over("filesize: 2\n\nAB");
    view.SetHeader("a", "1");
    EXPECT_EQ(view.GetHeader("never"), "");
    EXPECT_EQ(view.GetHeaderSize(), 6u);  // not rebuilt by GetHeader
    ASSERT_TRUE(view.Decode());
    EXPECT_EQ(view.GetHeader("a"), "1");
    const std::string text = "a: 1\nfilesize: 2\nnever: \n\n";
    EXPECT_EQ(ReadView(view), Join(text, ToBytes("AB")));
    view.Clear();
    EXPECT_EQ(view.GetHeaderSize(), 2u);
    EXPECT_EQ(view.GetHeader("a"), "");
    EXPECT_EQ(m_file.Size(), 0u);
}

#ifdef PKGSTAMP_PATH
TEST_F(VorelBufferTest, DecodesPackageWrittenByStamper) {
    testutil::WriteBytes(m_dir / "image", testutil::RandomBytes(9000, 4));
    const auto run = testutil::Run(std::string(PKGSTAMP_PATH) + " 1 2 3 image out", m_dir.Path());
    ASSERT_EQ(run.status, 0) << run.err;
    CFileBuffer file(m_dir / "out");
    CVorelBuffer view(&file);
    ASSERT_TRUE(view.Decode());
    EXPECT_EQ(view.GetHeader("filetype"), "dalm_upgrade");
    EXPECT_EQ(view.GetHeader("version"), std::to_string(Core::Version::ToNumber(1, 2, 3)));
    EXPECT_EQ(view.GetRawDataSize(), 9000u);
    EXPECT_EQ(view.GetRawData() + 9000, file.Size());
    EXPECT_EQ(ReadView(view), testutil::ReadBytes(m_dir / "out"));
}
#endif

}  // namespace
