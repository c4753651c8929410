// Files are read through one descriptor with read-ahead windows and straight reads for
// large requests (CInputFile); bodies in memory go through the plain CBuffer. Both must
// leave the same bytes, counts and fragment state for every size, offset and starting
// content of the output, across window and chunk boundaries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "CFileBuffer.h"
#include "CFileSource.h"
#include "CFirmwareFragment.h"
#include "CInputFile.h"
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
    CInputFile source(dir / "data");
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

TEST(InputFile, EncodeFromAFileMatchesEncodeFromMemory) {
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
        {0, 64 * 1024 - 1, 0, "one window"},
        {65535, 64 * 1024 + 1, 0, "across windows"},
        {3, 2 * kMiB + 3, 2 * kMiB - 10, "across chunks"},
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

// A stored firmware file read back from disk: its body CRC and its copy come from the one
// descriptor, and both agree with the reading of the same bytes from memory.
TEST(InputFile, DecodeAndDumpFromFilesMatchMemory) {
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
        CInputFile file(dir / "fw");
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

TEST(InputFile, CopiesMatchTheFileAtEveryPositionAndLength) {
    const Bytes data = testutil::RandomBytes(3 * kMiB + 5, 8);
    TempDir dir;
    testutil::WriteBytes(dir / "f", data);
    CInputFile file(dir / "f");
    ASSERT_EQ(file.GetState(), CInputFile::State::Readable);
    EXPECT_EQ(file.Size(), data.size());
    Bytes got(2 * kMiB);
    // Forward, backward and alternating between two regions, as headers and bodies are read.
    for (const uint32_t index : {0u, 1u, 65535u, 65536u, 2 * kMiB - 3, 5u, 3 * kMiB, 70000u}) {
        for (const uint32_t count : {1u, 2u, 100u, 65535u, 65536u, 2 * kMiB}) {
            const uint32_t expected =
                static_cast<uint32_t>(std::min<size_t>(count, data.size() - index));
            ASSERT_EQ(file.Copy(index, count, got.data()), expected) << index << " " << count;
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + expected, data.begin() + index))
                << index << " " << count;
            EXPECT_EQ(file.At(index), data[index]);
        }
    }
    EXPECT_EQ(file.Copy(static_cast<uint32_t>(data.size()), 10, got.data()), 0u);
    EXPECT_EQ(file.At(static_cast<uint32_t>(data.size())), 0);
    EXPECT_FALSE(file.Changed());
    EXPECT_TRUE(file.EndsAtSize());
}

// Spans of some megabytes are read as two halves on two threads: every byte reaches the
// sink once at its place, the CRC is that of the span, and the chunks end where the
// caller's phase puts its page boundaries; a file that shrinks reads short and changed.
TEST(InputFile, SpansReadInHalvesHandOnEveryByteOnce) {
    const Bytes data = testutil::RandomBytes(9 * kMiB + 5, 12);
    TempDir dir;
    testutil::WriteBytes(dir / "f", data);
    CInputFile file(dir / "f");
    for (const uint32_t count : {4 * kMiB - 1, 4 * kMiB, 9 * kMiB}) {
        for (const uint32_t phase : {0u, 48u}) {
            Bytes got(count);
            std::vector<uint32_t> ends;
            std::mutex mutex;
            uint16_t crc = 0;
            const uint32_t read = file.ReadSpan(5, count, phase, crc,
                                                [&](uint32_t at, const uint8_t* p, uint32_t n) {
                                                    std::copy(p, p + n, got.begin() + at);
                                                    std::lock_guard<std::mutex> lock(mutex);
                                                    ends.push_back(at + n);
                                                    return true;
                                                });
            ASSERT_EQ(read, count) << count << " " << phase;
            EXPECT_EQ(crc, Crc16ArcBitwise(0, data.data() + 5, count));
            EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 5));
            const size_t unaligned = std::count_if(ends.begin(), ends.end(), [&](uint32_t end) {
                return (phase + end) % (256u << 10) != 0;
            });
            EXPECT_LE(unaligned, 2u) << "only the end of each half may fall between boundaries";
        }
    }
    uint16_t seeded = 0x4321;
    EXPECT_EQ(file.Checksum(1, 9 * kMiB, seeded), 9 * kMiB);
    EXPECT_EQ(seeded, Crc16ArcBitwise(0x4321, data.data() + 1, 9 * kMiB));
    EXPECT_FALSE(file.Changed());

    uint16_t crc = 0;
    const auto refuse = [](uint32_t at, const uint8_t*, uint32_t) { return at == 0; };
    EXPECT_LT(file.ReadSpan(0, 9 * kMiB, 0, crc, refuse), 9 * kMiB);
    EXPECT_FALSE(file.Changed()) << "a sink that stops is not a changed file";
    ASSERT_EQ(truncate((dir / "f").c_str(), 5 * kMiB), 0);
    EXPECT_EQ(file.ReadSpan(0, 9 * kMiB, 0, crc, nullptr), 5 * kMiB);
    EXPECT_EQ(crc, Crc16ArcBitwise(0, data.data(), 5 * kMiB));
    EXPECT_TRUE(file.Changed());
    EXPECT_TRUE(file.Modified());
}

// Inputs that cannot be measured are refused at open without waiting on them.
TEST(InputFile, RefusesWhatIsNotARegularFileWithoutWaiting) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0700), 0);
    testutil::WriteBytes(dir / "empty", {});
    const struct {
        std::string path;
        CInputFile::State state;
    } cases[] = {{dir / "fifo", CInputFile::State::NotRegular},
                 {dir / "sub", CInputFile::State::NotRegular},
                 {"/dev/zero", CInputFile::State::NotRegular},
                 {dir / "missing", CInputFile::State::Unreadable},
                 {dir / "empty", CInputFile::State::Empty}};
    for (const auto& c : cases) {
        CInputFile input(c.path);
        EXPECT_EQ(input.GetState(), c.state) << c.path;
        EXPECT_EQ(input.Size(), 0u) << c.path;
    }
    // A file that reports no size and yet yields bytes does not end at its size.
    CInputFile proc("/proc/self/status");
    EXPECT_EQ(proc.GetState(), CInputFile::State::Empty);
    EXPECT_FALSE(proc.EndsAtSize());
}

// The measured size holds for the object's life: a file that shrinks reads short and is
// marked changed, one that grows is read to its measured size and does not end there,
// and a released input reopened on another file is changed.
TEST(InputFile, NoticesAFileThatChangesUnderneath) {
    TempDir dir;
    const Bytes data = testutil::RandomBytes(200000, 3);
    Bytes got(data.size());

    testutil::WriteBytes(dir / "shrinks", data);
    CInputFile shrinks(dir / "shrinks");
    ASSERT_EQ(truncate((dir / "shrinks").c_str(), 1000), 0);
    EXPECT_EQ(shrinks.Copy(0, 200000, got.data()), 1000u);
    EXPECT_TRUE(shrinks.Changed());

    testutil::WriteBytes(dir / "grows", data);
    CInputFile grows(dir / "grows");
    testutil::WriteBytes(dir / "grows", testutil::RandomBytes(300000, 4));
    EXPECT_EQ(grows.Copy(0, 300000, got.data()), 200000u);
    EXPECT_FALSE(grows.Changed());
    EXPECT_FALSE(grows.EndsAtSize());

    testutil::WriteBytes(dir / "swapped", data);
    CInputFile swapped(dir / "swapped");
    EXPECT_EQ(swapped.At(7), data[7]);
    swapped.Release();
    testutil::WriteBytes(dir / "other", data);
    ASSERT_EQ(rename((dir / "other").c_str(), (dir / "swapped").c_str()), 0);
    EXPECT_EQ(swapped.Copy(0, 10, got.data()), 0u);
    EXPECT_TRUE(swapped.Changed());

    testutil::WriteBytes(dir / "kept", data);
    CInputFile kept(dir / "kept");
    kept.Release();
    EXPECT_EQ(kept.Copy(100, 10, got.data()), 10u);
    EXPECT_EQ(got[0], data[100]);
    EXPECT_FALSE(kept.Changed());
}

// A package read by position: the bytes asked for, or the reason it cannot
// give them; the file measured at the first read is the package from then on.
TEST(InputFile, FileSourceReadsByPositionAndNoticesChanges) {
    TempDir dir;
    const Bytes data = testutil::RandomBytes(3 * kMiB + 7, 5);
    const struct {
        const char* name;
        std::function<void(const std::string&)> after;  // after the first read
        uint64_t offset, size;
        PackageError error;
        uint64_t handed;
    } cases[] = {
        {"across blocks", nullptr, 5, 3 * kMiB, PackageError::Ok, 3 * kMiB},
        {"past the end", nullptr, 3 * kMiB, kMiB, PackageError::CutShort, 7},
        {"from beyond the end", nullptr, 4 * kMiB, 1, PackageError::CutShort, 0},
        {"shrunk", [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 1000), 0); },
         0, 10, PackageError::Changed, 0},
        {"grown",
         [&](const std::string& path) { testutil::WriteBytes(path, Bytes(data.size() + 1)); }, 0,
         10, PackageError::Changed, 0},
        {"rewritten in place",
         [](const std::string& path) {
             const struct timespec later[2] = {{0, UTIME_OMIT}, {1, 0}};
             ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), later, 0), 0);
         },
         0, 10, PackageError::Changed, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testutil::WriteBytes(dir / "p", data);
        CFileSource source(dir / "p");
        ASSERT_EQ(source.Read(0, 1, [](const uint8_t*, size_t) { return true; }), PackageError::Ok);
        EXPECT_EQ(source.Size(), data.size());
        if (c.after)
            c.after(dir / "p");
        Bytes got;
        const PackageError error = source.Read(c.offset, c.size, [&](const uint8_t* p, size_t n) {
            got.insert(got.end(), p, p + n);
            return true;
        });
        EXPECT_EQ(error, c.error) << source.Problem();
        EXPECT_EQ(got.size(), c.handed);
        EXPECT_TRUE(std::equal(got.begin(), got.end(),
                               data.begin() + std::min<size_t>(c.offset, data.size())));
    }
    CFileSource source(dir / "p");
    EXPECT_EQ(source.Read(0, 10, [](const uint8_t*, size_t) { return false; }),
              PackageError::WriteFailed);
    std::string index;
    EXPECT_EQ(source.ReadAttachment("index", 100, index), PackageError::OpenFailed);
    EXPECT_EQ(source.Problem().rfind(dir / "p.index: ", 0), 0u) << source.Problem();
    CFileSource missing(dir / "missing");
    EXPECT_EQ(missing.Read(0, 1, [](const uint8_t*, size_t) { return true; }),
              PackageError::OpenFailed);
}

}  // namespace
