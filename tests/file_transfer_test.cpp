// Bodies in files take the file-to-file passes (one-pass encode, mapped CRC, mapped copy);
// bodies anywhere else go chunk by chunk through CBuffer. Both must leave the same bytes,
// counts and fragment state for every size, offset and starting content of the output.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "CFileBuffer.h"
#include "CFileTransfer.h"
#include "CFirmwareFragment.h"
#include "Crc16.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"

namespace {

using testutil::Bytes;
using testutil::TempDir;

constexpr uint32_t kMiB = 1u << 20;

struct Outcome {
    Bytes bytes;
    uint32_t count = 0;
    uint32_t size = 0;
    bool crcOk = false;
    uint16_t bodyCrc = 0;
};

Outcome Finish(CFirmwareFragment& fragment, uint32_t count, Bytes bytes) {
    return Outcome{std::move(bytes), count, fragment.Size(), fragment.CrcOK(),
                   fragment.GetRawDataCRC()};
}

void ExpectSame(const Outcome& files, const Outcome& memory, const std::string& what) {
    EXPECT_EQ(files.count, memory.count) << what;
    EXPECT_EQ(files.size, memory.size) << what;
    EXPECT_EQ(files.crcOk, memory.crcOk) << what;
    EXPECT_EQ(files.bodyCrc, memory.bodyCrc) << what;
    EXPECT_TRUE(files.bytes == memory.bytes) << what << ": output bytes differ";
}

CFirmwareFragment Build(CBuffer* source, uint32_t rawData, uint32_t size, const std::string& name) {
    return CFirmwareFragment(source, rawData, size, 400, 1, 2, name, 3, 4, 5, 2010);
}

Outcome EncodeThroughFiles(const Bytes& data, uint32_t rawData, uint32_t size,
                           const std::string& name, const Bytes& existing) {
    TempDir dir;
    testutil::WriteBytes(dir / "data", data);
    testutil::WriteBytes(dir / "out", existing);
    CFileBuffer source(dir / "data");
    CFileBuffer out(dir / "out");
    CFirmwareFragment fragment = Build(&source, rawData, size, name);
    const uint32_t count = fragment.Encode(&out);
    return Finish(fragment, count, testutil::ReadBytes(dir / "out"));
}

Outcome EncodeThroughMemory(const Bytes& data, uint32_t rawData, uint32_t size,
                            const std::string& name, const Bytes& existing) {
    MemoryBuffer source(data);
    MemoryBuffer out(existing);
    CFirmwareFragment fragment = Build(&source, rawData, size, name);
    const uint32_t count = fragment.Encode(&out);
    return Finish(fragment, count, out.Bytes());
}

TEST(FileTransfer, OnePassEncodeMatchesChunkedEncode) {
    const Bytes data = testutil::RandomBytes(5 * kMiB + 17, 3);
    struct Case {
        uint32_t rawData;
        uint32_t size;
        size_t existing;
        std::string name;
    };
    const Case cases[] = {
        {0, 1, 0, "a"},
        {0, 256 * 1024 - 1, 0, "slice"},
        {7, 256 * 1024 + 1, 100, "offset"},
        {0, 2 * kMiB - 40, 0, "near-window"},
        {3, 2 * kMiB + 3, 2 * kMiB - 10, "across windows"},
        {0, 5 * kMiB + 17, 1, std::string(300, 'n')},
        // A body that runs past the end of its source: CRC and copy stop at the end.
        {kMiB, 5 * kMiB, 0, "short source"},
        {static_cast<uint32_t>(data.size()) + 5, 10, 0, "past the end"},
    };
    for (const Case& c : cases) {
        const Bytes existing = testutil::RandomBytes(c.existing, 9);
        ExpectSame(EncodeThroughFiles(data, c.rawData, c.size, c.name, existing),
                   EncodeThroughMemory(data, c.rawData, c.size, c.name, existing), c.name);
    }
}

TEST(FileTransfer, OutputsTheOnePassCannotUseGoThroughTheBuffer) {
    const Bytes data = testutil::RandomBytes(3 * kMiB, 4);
    TempDir dir;
    testutil::WriteBytes(dir / "data", data);
    CFileBuffer source(dir / "data");
    const Outcome memory = EncodeThroughMemory(data, 0, 3 * kMiB, "x", {});

    // Not a regular file: written through CFileBuffer::Write.
    CFileBuffer devNull("/dev/null");
    CFirmwareFragment toDevice = Build(&source, 0, 3 * kMiB, "x");
    EXPECT_EQ(toDevice.Encode(&devNull), memory.count);
    EXPECT_TRUE(toDevice.CrcOK());

    // A missing output is created by the first append, as Write does.
    CFileBuffer missing(dir / "new");
    CFirmwareFragment toMissing = Build(&source, 0, 3 * kMiB, "x");
    EXPECT_EQ(toMissing.Encode(&missing), memory.count);
    EXPECT_TRUE(testutil::ReadBytes(dir / "new") == memory.bytes);

    // The data file itself as output, emptied first: the body is gone before it is read.
    CFileBuffer same(dir / "data");
    same.Clear();
    CFirmwareFragment onto = Build(&source, 0, 3 * kMiB, "x");
    MemoryBuffer memorySource(data);
    memorySource.Clear();
    CFirmwareFragment ontoMemory = Build(&memorySource, 0, 3 * kMiB, "x");
    EXPECT_EQ(onto.Encode(&same), ontoMemory.Encode(&memorySource));
    EXPECT_TRUE(testutil::ReadBytes(dir / "data") == memorySource.Bytes());
}

// A stored firmware file read back from disk: its body CRC comes from the mapped file, its
// body is copied file to file, and both agree with the chunked reading of the same bytes.
TEST(FileTransfer, DecodeAndDumpFromFilesMatchMemory) {
    const Bytes data = testutil::RandomBytes(4 * kMiB + 123, 5);
    const Outcome encoded =
        EncodeThroughMemory(data, 0, static_cast<uint32_t>(data.size()), "body", {});
    TempDir dir;
    testutil::WriteBytes(dir / "fw", encoded.bytes);
    for (const bool damaged : {false, true}) {
        Bytes stored = encoded.bytes;
        if (damaged)
            stored[stored.size() - 1] ^= 0x40;
        testutil::WriteBytes(dir / "fw", stored);
        CFileBuffer file(dir / "fw");
        MemoryBuffer memory(stored);
        CFirmwareFragment fromFile(&file, 0, static_cast<uint32_t>(stored.size()));
        CFirmwareFragment fromMemory(&memory, 0, static_cast<uint32_t>(stored.size()));
        ASSERT_TRUE(fromFile.Decode(true));
        ASSERT_TRUE(fromMemory.Decode(true));
        EXPECT_EQ(fromFile.CrcOK(), !damaged);
        EXPECT_EQ(fromMemory.CrcOK(), !damaged);

        const Bytes prefix = testutil::RandomBytes(2 * kMiB - 1, 6);
        testutil::WriteBytes(dir / "raw", prefix);
        CFileBuffer raw(dir / "raw");
        MemoryBuffer rawMemory(prefix);
        EXPECT_EQ(fromFile.RawDataDump(&raw), fromMemory.RawDataDump(&rawMemory));
        EXPECT_TRUE(testutil::ReadBytes(dir / "raw") == rawMemory.Bytes());
    }
}

TEST(FileTransfer, CrcOfFileRangesMatchesBitwise) {
    const Bytes data = testutil::RandomBytes(3 * kMiB + 5, 8);
    TempDir dir;
    testutil::WriteBytes(dir / "f", data);
    for (const uint32_t index : {0u, 1u, 4095u, 4097u, 2 * kMiB - 3, 3 * kMiB}) {
        for (const uint32_t count : {1u, 100u, kMiB, 2 * kMiB}) {
            uint32_t got = count;
            uint16_t crc = 0x1234;
            ASSERT_TRUE(CFileTransfer::Crc(dir / "f", index, got, crc));
            const uint32_t expected =
                static_cast<uint32_t>(std::min<size_t>(count, data.size() - index));
            EXPECT_EQ(got, expected);
            EXPECT_EQ(crc, Crc16ArcBitwise(0x1234, data.data() + index, expected))
                << index << " " << count;
        }
    }
    // Past the end, a missing file, a device: left to the buffer.
    uint32_t count = 10;
    uint16_t crc = 7;
    EXPECT_FALSE(CFileTransfer::Crc(dir / "f", static_cast<uint32_t>(data.size()), count, crc));
    EXPECT_FALSE(CFileTransfer::Crc(dir / "missing", 0, count, crc));
    EXPECT_FALSE(CFileTransfer::Crc("/dev/zero", 0, count, crc));
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(crc, 7);
}

void MarkBusError(int) {}

// The mapped passes guard against files shrinking under them; the process's own SIGBUS
// handling must be as it was once they return.
TEST(FileTransfer, LeavesTheProcessSigbusHandlerInPlace) {
    struct sigaction mine {};
    mine.sa_handler = MarkBusError;
    sigemptyset(&mine.sa_mask);
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGBUS, &mine, &before), 0);

    EncodeThroughFiles(testutil::RandomBytes(kMiB, 2), 0, kMiB, "g", {});
    struct sigaction now {};
    sigaction(SIGBUS, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &MarkBusError);
    sigaction(SIGBUS, &before, nullptr);
}

}  // namespace
