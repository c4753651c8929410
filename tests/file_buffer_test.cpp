#include <gtest/gtest.h>

#include "CFileBuffer.h"
#include "TestUtil.h"

using testutil::Bytes;

TEST(FileBuffer, MissingFileIsEmptyAndWriteCreatesIt) {
    testutil::TempDir dir;
    CFileBuffer buffer(dir / "missing.bin");
    uint8_t byte = 7;
    EXPECT_EQ(buffer.Size(), 0u);
    EXPECT_EQ(buffer.At(0), 0);
    EXPECT_EQ(buffer.Copy(0, 1, &byte), 0u);

    uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(buffer.Write(data, 3), 3u);
    EXPECT_EQ(testutil::ReadBytes(dir / "missing.bin"), (Bytes{1, 2, 3}));

    CFileBuffer created(dir / "cleared.bin");
    created.Clear();
    EXPECT_TRUE(testutil::Exists(dir / "cleared.bin"));
    EXPECT_EQ(created.Size(), 0u);
}

TEST(FileBuffer, ReadsClipAtTheEnd) {
    testutil::TempDir dir;
    const Bytes content = testutil::RandomBytes(100);
    testutil::WriteBytes(dir / "f", content);
    CFileBuffer buffer(dir / "f");
    uint8_t out[10] = {};

    EXPECT_EQ(buffer.Size(), 100u);
    EXPECT_EQ(buffer.At(99), content[99]);
    EXPECT_EQ(buffer.At(100), 0);
    EXPECT_EQ(buffer.Copy(97, 10, out), 3u);
    EXPECT_EQ(Bytes(out, out + 3), Bytes(content.end() - 3, content.end()));
    EXPECT_EQ(buffer.Copy(100, 10, out), 0u);
    EXPECT_EQ(buffer.Copy(5, 0, out), 0u);
}

TEST(FileBuffer, ClearThenWritesAppendInOrderAndAreSeenAtOnce) {
    testutil::TempDir dir;
    testutil::WriteText(dir / "f", "old content");
    CFileBuffer writer(dir / "f");
    CFileBuffer reader(dir / "f");
    uint8_t five[] = {1, 2, 3, 4, 5};
    uint8_t three[] = {6, 7, 8};

    writer.Clear();
    EXPECT_EQ(reader.Size(), 0u);
    writer.Write(five, 5);
    EXPECT_EQ(reader.Size(), 5u);
    writer.Write(three, 3);
    EXPECT_EQ(testutil::ReadBytes(dir / "f"), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    CFileBuffer appender(dir / "f");
    appender.Write(three, 1);
    EXPECT_EQ(reader.Size(), 9u);
}

TEST(FileBuffer, FailedFlushIsNotCountedAsWritten) {
    CFileBuffer full("/dev/full");
    uint8_t data[16] = {};
    EXPECT_EQ(full.Write(data, sizeof data), 0u);
}

TEST(FileBuffer, UnopenableFileWritesNothing) {
    CFileBuffer nowhere("/nonexistent-dir/sub/file");
    uint8_t data[4] = {};
    EXPECT_EQ(nowhere.Write(data, 4), 0u);
    nowhere.Clear();
    EXPECT_EQ(nowhere.Size(), 0u);
}
