// The logical fragment and the fragment buffer.
#include <gtest/gtest.h>

#include "CFirmwareFragmentLogical.h"
#include "CFragmentBuffer.h"
#include "Crc16.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testutil::Bytes;

namespace {

CFirmwareFragment* Fragment(MemoryBuffer* source, const std::string& name) {
    return new CFirmwareFragment(source, 0, source->Size(), 400, 0, 0, name, 0, 0, 0, 0);
}

// Physical headers back to back, then the bodies, each header pointing at its
// body's absolute position behind a logical header of `logicalLength` bytes.
Bytes LogicalBody(std::vector<MemoryBuffer*> sources, uint32_t logicalLength) {
    CFragmentBuffer buffer;
    std::vector<CFirmwareFragment*> fragments;
    uint32_t offset = logicalLength;
    for (MemoryBuffer* source : sources) {
        fragments.push_back(Fragment(source, "p"));
        offset += fragments.back()->GetHeaderSize();
    }
    for (CFirmwareFragment* fragment : fragments) {
        fragment->PrepareHeader(fragment->generateCRC(0, fragment->GetRawDataSize()), offset);
        offset += fragment->GetRawDataSize();
        buffer.AddFragment(fragment);
    }
    Bytes bytes(buffer.Size());
    uint32_t done = 0;
    while (uint32_t got = buffer.Copy(done, 4096, bytes.data() + done))
        done += got;
    bytes.resize(done);
    return bytes;
}

// Encodes a logical fragment named "L" over `body` into a whole file image.
Bytes LogicalFile(const Bytes& body, uint32_t objects, uint32_t article = 17) {
    MemoryBuffer source(body);
    CFirmwareFragmentLogical logical(&source, 0, static_cast<uint32_t>(body.size()), 300, 0, 0, "L",
                                     0, 0, 0, 0, article, objects);
    MemoryBuffer out;
    logical.Encode(&out);
    return out.Bytes();
}

}  // namespace

TEST(LogicalFragment, ExtensionBytesAndHeaderSize) {
    MemoryBuffer source;
    CFirmwareFragmentLogical logical(&source, 0, 0, 300, 0, 0, "L", 0, 0, 0, 0, 0x01020304, 3);
    EXPECT_EQ(logical.GetHeaderSize(), 47u);
    logical.PrepareHeader();
    Bytes header(47);
    ASSERT_EQ(logical.Copy(0, 47, header.data()), 47u);
    EXPECT_EQ(Bytes(header.begin() + 41, header.end()), (Bytes{4, 3, 2, 1, 3, 0}));
    EXPECT_EQ(header[0], 47);
}

TEST(LogicalFragment, ObjectCountIsCutTo16BitsAndReadBack) {
    for (uint32_t objects : {65535u, 65536u}) {
        const Bytes file = LogicalFile({}, objects);
        MemoryBuffer source(file);
        CFirmwareFragmentLogical read(&source, 0, static_cast<uint32_t>(file.size()));
        ASSERT_TRUE(read.Decode(true));
        EXPECT_EQ(read.GetNoPhysObj(), objects & 0xFFFF);
        EXPECT_EQ(read.GetArticleNo(), 17u);
    }
}

TEST(LogicalFragment, ListingPutsTheLogicalBlockFirst) {
    const Bytes file = LogicalFile({}, 2);
    MemoryBuffer source(file);
    CFirmwareFragmentLogical read(&source, 0, static_cast<uint32_t>(file.size()));
    ASSERT_TRUE(read.Decode(true));
    const std::string listing = read.ToString();
    EXPECT_EQ(listing.rfind("---------------------------\nLogical Header\nNo Objects: 2\n"
                            "Article No: 17\n---------------------------\nFirmware File Name: L\n",
                            0),
              0u);
}

TEST(LogicalFragment, SplitBlobWalksThePhysicalHeaders) {
    MemoryBuffer a(Bytes{1, 2, 3});
    MemoryBuffer b(Bytes{4, 5, 6, 7, 8});
    const Bytes file = LogicalFile(LogicalBody({&a, &b}, 47), 2);
    MemoryBuffer source(file);
    CFirmwareFragmentLogical read(&source, 0, static_cast<uint32_t>(file.size()));
    ASSERT_TRUE(read.Decode(true));
    EXPECT_TRUE(read.SplitBlob(true));
    ASSERT_NE(read.GetFragment(1), nullptr);
    EXPECT_EQ(read.GetFragment(2), nullptr);
    EXPECT_EQ(read.GetFragment(-1), nullptr);
    MemoryBuffer body;
    read.GetFragment(1)->RawDataDump(&body);
    EXPECT_EQ(body.Bytes(), (Bytes{4, 5, 6, 7, 8}));
}

TEST(LogicalFragment, SplitBlobChecksBodiesOnlyWhenAsked) {
    MemoryBuffer a(Bytes{1, 2, 3});
    MemoryBuffer b(Bytes{4, 5, 6, 7, 8});
    Bytes file = LogicalFile(LogicalBody({&a, &b}, 47), 2);
    file.back() ^= 0xFF;  // last body byte of the second fragment
    MemoryBuffer source(file);
    CFirmwareFragmentLogical lenient(&source, 0, static_cast<uint32_t>(file.size()));
    lenient.Decode(false);
    EXPECT_TRUE(lenient.SplitBlob(false));
    CFirmwareFragmentLogical strict(&source, 0, static_cast<uint32_t>(file.size()));
    strict.Decode(false);
    EXPECT_FALSE(strict.SplitBlob(true));
    EXPECT_NE(strict.GetFragment(0), nullptr);
    EXPECT_EQ(strict.GetFragment(1), nullptr);
}

TEST(LogicalFragment, SplitBlobWithNoObjectsAndWithMoreThanTheBodyHolds) {
    const Bytes empty = LogicalFile({}, 0);
    MemoryBuffer source(empty);
    CFirmwareFragmentLogical none(&source, 0, static_cast<uint32_t>(empty.size()));
    none.Decode(true);
    EXPECT_TRUE(none.SplitBlob(true));
    EXPECT_EQ(none.GetFragment(0), nullptr);

    // Three headers announced over a body that holds one: the walk stops.
    MemoryBuffer a(Bytes{1, 2, 3});
    const Bytes one = LogicalFile(LogicalBody({&a}, 47), 3);
    MemoryBuffer oneSource(one);
    CFirmwareFragmentLogical over(&oneSource, 0, static_cast<uint32_t>(one.size()));
    over.Decode(true);
    CaptureStdout();
    EXPECT_FALSE(over.SplitBlob(true));
    GetCapturedStdout();
    EXPECT_NE(over.GetFragment(0), nullptr);
}

TEST(LogicalFragment, PlainHeaderReadAsLogicalTakesTheBytesBehindIt) {
    MemoryBuffer data(Bytes{0x0A, 0, 0, 0, 0x02, 0, 0xEE});
    CFirmwareFragment plain(&data, 0, 7, 400, 0, 0, "x", 0, 0, 0, 0);
    MemoryBuffer out;
    plain.Encode(&out);
    CFirmwareFragmentLogical read(&out, 0, out.Size());
    ASSERT_TRUE(read.Decode(true));
    EXPECT_EQ(read.GetArticleNo(), 10u);
    EXPECT_EQ(read.GetNoPhysObj(), 2u);
}

TEST(FragmentBuffer, EmptyBufferAndReadOnlyWrites) {
    CFragmentBuffer buffer;
    uint8_t byte = 0;
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.Copy(0, 1, &byte), 0u);
    EXPECT_EQ(buffer.At(0), 0);
    EXPECT_EQ(buffer.Write(&byte, 1), 0u);
}

TEST(FragmentBuffer, CopyNeverCrossesAHeaderOrBodyBoundary) {
    // Header sizes 45, 50, 47 (names of 5, 10, 7 bytes); bodies 100, 0, 200.
    MemoryBuffer s1(testutil::RandomBytes(100, 1));
    MemoryBuffer s2;
    MemoryBuffer s3(testutil::RandomBytes(200, 3));
    CFragmentBuffer buffer;
    buffer.AddFragment(Fragment(&s1, "five5"));
    buffer.AddFragment(Fragment(&s2, "ten_chars_"));
    buffer.AddFragment(Fragment(&s3, "seven77"));
    uint8_t out[1000];
    EXPECT_EQ(buffer.Size(), 442u);
    EXPECT_EQ(buffer.Copy(40, 10, out), 5u);
    EXPECT_EQ(buffer.Copy(45, 1000, out), 50u);
    EXPECT_EQ(out[0], 50);  // the second header's length field
    EXPECT_EQ(buffer.Copy(142, 10, out), 10u);
    EXPECT_EQ(Bytes(out, out + 10), Bytes(s1.Bytes().begin(), s1.Bytes().begin() + 10));
    EXPECT_EQ(buffer.Copy(240, 10, out), 2u);
    EXPECT_EQ(buffer.Copy(242, 5, out), 5u);
    EXPECT_EQ(Bytes(out, out + 5), Bytes(s3.Bytes().begin(), s3.Bytes().begin() + 5));
    EXPECT_EQ(buffer.Copy(442, 1, out), 0u);
    EXPECT_EQ(buffer.At(142), s1.Bytes()[0]);
    EXPECT_EQ(buffer.At(0), 45);
    EXPECT_EQ(buffer.At(442), 0);
    // Going back to the front after reading further on.
    EXPECT_EQ(buffer.Copy(0, 1000, out), 45u);
}

TEST(FragmentBuffer, ChunkedReadYieldsEveryHeaderThenEveryBody) {
    std::vector<MemoryBuffer> sources;
    for (uint32_t i = 0; i < 50; ++i)
        sources.emplace_back(testutil::RandomBytes(i * 333, i));
    CFragmentBuffer buffer;
    Bytes expectedHeaders;
    Bytes expectedBodies;
    for (MemoryBuffer& source : sources) {
        CFirmwareFragment* fragment = Fragment(&source, "n");
        buffer.AddFragment(fragment);
        Bytes header(fragment->GetHeaderSize());
        fragment->Copy(0, static_cast<uint32_t>(header.size()), header.data());
        expectedHeaders.insert(expectedHeaders.end(), header.begin(), header.end());
        expectedBodies.insert(expectedBodies.end(), source.Bytes().begin(), source.Bytes().end());
    }
    Bytes all(buffer.Size());
    uint32_t done = 0;
    while (uint32_t got = buffer.Copy(done, 4096, all.data() + done))
        done += got;
    ASSERT_EQ(done, expectedHeaders.size() + expectedBodies.size());
    EXPECT_EQ(Bytes(all.begin(), all.begin() + expectedHeaders.size()), expectedHeaders);
    EXPECT_EQ(Bytes(all.begin() + expectedHeaders.size(), all.end()), expectedBodies);
}

TEST(FragmentBuffer, ClearGivesUpOwnership) {
    MemoryBuffer source(Bytes{1});
    CFirmwareFragment* fragment = Fragment(&source, "kept");
    {
        CFragmentBuffer buffer;
        buffer.AddFragment(fragment);
        buffer.Clear();
        EXPECT_EQ(buffer.Size(), 0u);
    }
    EXPECT_EQ(fragment->GetName(), "kept");  // still alive: the sanitizer build checks this
    delete fragment;
}
