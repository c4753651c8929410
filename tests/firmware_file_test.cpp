#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <list>

#include "CFirmwareFile.h"
#include "Crc16.h"
#include "FragmentBytes.h"
#include "TestUtil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testutil::Bytes;

namespace {

const char* kSeparator = "---------------------------\n";

struct Fixture : testing::Test {
    testutil::TempDir dir;

    // Builds a physical firmware file from `data`; returns the file's path.
    std::string Physical(const std::string& name, const Bytes& data, unsigned type = 400) {
        testutil::WriteBytes(dir / (name + ".bin"), data);
        CaptureStdout();
        CFirmwareFile built(dir / (name + ".bin"), dir / (name + ".fw"), type, 1, 2, name, 3, 4, 5,
                            2010);
        GetCapturedStdout();
        return dir / (name + ".fw");
    }

    // Builds a logical firmware file over the given firmware files; returns what was printed.
    std::string Logical(const std::vector<std::string>& inputs, const std::string& out,
                        uint32_t objects, unsigned type = 300) {
        std::list<CFirmwareFile*> files;
        CaptureStdout();
        for (const std::string& input : inputs)
            files.push_back(new CFirmwareFile(input));
        CFirmwareFile built(files, out, type, 0, 0, "L", 0, 0, 0, 0, 7, objects);
        for (CFirmwareFile* file : files)
            delete file;
        return GetCapturedStdout();
    }

    static std::string Parse(const std::string& path, unsigned* fragments = nullptr,
                             bool* complete = nullptr) {
        CaptureStdout();
        CFirmwareFile file(path);
        if (fragments != nullptr)
            *fragments = file.NoFragments();
        if (complete != nullptr)
            *complete = file.ParseComplete();
        return GetCapturedStdout();
    }
};

void RestoreHeaderCrc(Bytes& file, uint32_t at, uint32_t n) {
    const uint32_t hl = file[at] | (file[at + 1] << 8);
    file[at + 21 + n] = file[at + 22 + n] = 0;
    const uint16_t crc = Crc16ArcBitwise(0, file.data() + at, hl);
    file[at + 21 + n] = static_cast<uint8_t>(crc);
    file[at + 22 + n] = static_cast<uint8_t>(crc >> 8);
}

void Put32(Bytes& b, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<uint8_t>(value >> (8 * k));
}

// Recomputes the body CRC and the header CRC of a logical header named with one
// byte, after its body (everything behind its 47 bytes) was changed.
void RepairLogicalHeader(Bytes& file) {
    const uint16_t crc = Crc16ArcBitwise(0, file.data() + 47, file.size() - 47);
    file[14] = static_cast<uint8_t>(crc);
    file[15] = static_cast<uint8_t>(crc >> 8);
    RestoreHeaderCrc(file, 0, 1);
}

uint32_t Read32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

}  // namespace

using FirmwareFile = Fixture;

TEST_F(FirmwareFile, PhysicalBuildReportsAndRoundTrips) {
    const Bytes data = testutil::RandomBytes(5000);
    testutil::WriteBytes(dir / "app.bin", data);
    CaptureStdout();
    {
        CFirmwareFile built(dir / "app.bin", dir / "app.fw", 400, 1, 2, "app", 3, 4, 5, 2010);
        EXPECT_TRUE(built.WriteComplete());
    }
    EXPECT_EQ(GetCapturedStdout(),
              "Physical Firmware File " + (dir / "app.fw") + " written with 5043 bytes\n");
    CFirmwareFile parsed(dir / "app.fw");
    ASSERT_EQ(parsed.NoFragments(), 1u);
    EXPECT_TRUE(parsed.ParseComplete());
    EXPECT_EQ(parsed.GetFragmentName(0), "app");
    EXPECT_EQ(parsed.GetFragmentName(1), "Empty");
    EXPECT_EQ(parsed.GetFragment(1), nullptr);
    EXPECT_EQ(parsed.GetHeader(), nullptr);
    EXPECT_EQ(parsed.DumpRawFragment(0, dir / "out.bin"), 5000u);
    EXPECT_EQ(testutil::ReadBytes(dir / "out.bin"), data);
    EXPECT_EQ(parsed.DumpRawFragment(1, dir / "none.bin"), 0u);
    EXPECT_TRUE(testutil::Exists(dir / "none.bin"));
    EXPECT_EQ(parsed.ToString(), kSeparator + parsed.GetFragment(0)->ToString() + kSeparator);
}

TEST_F(FirmwareFile, MissingOrEmptyDataFileGivesAHeaderAlone) {
    CaptureStdout();
    CFirmwareFile built(dir / "missing", dir / "m.fw", 400, 0, 0, "m", 0, 0, 0, 0);
    EXPECT_EQ(GetCapturedStdout(),
              "Physical Firmware File " + (dir / "m.fw") + " written with 41 bytes\n");
    unsigned fragments = 0;
    EXPECT_EQ(Parse(dir / "m.fw", &fragments), "");
    EXPECT_EQ(fragments, 1u);
}

TEST_F(FirmwareFile, ParseOfMissingEmptyAndTinyFiles) {
    unsigned fragments = 9;
    EXPECT_EQ(Parse(dir / "missing", &fragments), "");
    EXPECT_EQ(fragments, 0u);
    testutil::WriteText(dir / "empty", "");
    EXPECT_EQ(Parse(dir / "empty"), "");
    CFirmwareFile missing(dir / "missing");
    EXPECT_EQ(missing.ToString(), kSeparator);
    testutil::WriteText(dir / "one", "x");
    EXPECT_EQ(Parse(dir / "one"),
              "Firmware File invalid header found, with type 0, file size: 1\n");
}

TEST_F(FirmwareFile, TypeTableDecidesTheKind) {
    for (unsigned type : {205u, 210u, 299u}) {
        const std::string path = Physical("t" + std::to_string(type), {1, 2}, type);
        EXPECT_EQ(Parse(path), "Firmware File invalid header found, with type " +
                                   std::to_string(type) + ", file size: 46\n");
    }
    for (unsigned type : {206u, 209u, 400u, 65535u}) {
        unsigned fragments = 0;
        EXPECT_EQ(Parse(Physical("p" + std::to_string(type), {1, 2}, type), &fragments), "");
        EXPECT_EQ(fragments, 1u) << type;
    }
    // A physical build typed as logical is walked as a logical file and fails there.
    const std::string asLogical = Physical("l300", Bytes(60, 0), 300);
    unsigned fragments = 9;
    Parse(asLogical, &fragments);
    EXPECT_EQ(fragments, 0u);
}

TEST_F(FirmwareFile, DamagedPhysicalBodyParsesToNothingQuietly) {
    const std::string path = Physical("d", testutil::RandomBytes(100));
    Bytes file = testutil::ReadBytes(path);
    file[60] ^= 1;
    testutil::WriteBytes(path, file);
    unsigned fragments = 9;
    bool complete = true;
    EXPECT_EQ(Parse(path, &fragments, &complete), "");
    EXPECT_EQ(fragments, 0u);
    EXPECT_FALSE(complete);
}

TEST_F(FirmwareFile, LogicalOffsetsExample) {
    const std::string one = Physical("a", {1, 2, 3});
    const std::string two = Physical("bb", {4, 5, 6, 7, 8});
    EXPECT_EQ(Logical({one, two}, dir / "all.fw", 2),
              "Logical Firmware File " + (dir / "all.fw") + " written with 138 bytes\n");
    const Bytes file = testutil::ReadBytes(dir / "all.fw");
    ASSERT_EQ(file.size(), 138u);
    EXPECT_EQ(Read32(file, 10), 91u);            // logical body length
    EXPECT_EQ(Read32(file, 16), 47u);            // logical body offset
    EXPECT_EQ(Read32(file, 47 + 15 + 1), 130u);  // first physical body offset
    EXPECT_EQ(Read32(file, 88 + 15 + 2), 133u);  // second physical body offset
    EXPECT_EQ(Bytes(file.begin() + 130, file.end()), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(FirmwareFile, LogicalFileOfNInputsParsesBackInOrder) {
    for (int n = 1; n <= 3; ++n) {
        std::vector<std::string> inputs;
        for (int i = 0; i < n; ++i) {
            inputs.push_back(Physical("f" + std::to_string(i), testutil::RandomBytes(100 * i, i)));
        }
        const std::string out = dir / ("n" + std::to_string(n) + ".fw");
        Logical(inputs, out, static_cast<uint32_t>(n));
        CaptureStdout();
        CFirmwareFile parsed(out);
        EXPECT_EQ(GetCapturedStdout(), "");
        ASSERT_EQ(parsed.NoFragments(), static_cast<unsigned>(n));
        EXPECT_TRUE(parsed.ParseComplete());
        std::string expected = kSeparator + parsed.GetHeader()->ToString();
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(parsed.GetFragmentName(i), "f" + std::to_string(i));
            expected += parsed.GetFragment(i)->ToString();
            parsed.DumpRawFragment(i, dir / "x");
            EXPECT_EQ(testutil::ReadBytes(dir / "x"), testutil::RandomBytes(100 * i, i));
        }
        EXPECT_EQ(parsed.ToString(), expected + kSeparator);
    }
}

TEST_F(FirmwareFile, AnnouncedCountMismatchesInBothDirections) {
    const std::string one = Physical("a", {1, 2, 3});
    const std::string two = Physical("b", {4, 5});
    for (uint32_t announced : {0u, 1u, 3u}) {
        const std::string out = dir / ("c" + std::to_string(announced) + ".fw");
        Logical({one, two}, out, announced);
        unsigned fragments = 9;
        bool complete = true;
        EXPECT_EQ(Parse(out, &fragments, &complete), "Incomplete parsing of data file\n");
        EXPECT_EQ(fragments, std::min(announced, 2u));
        EXPECT_FALSE(complete);
    }
}

TEST_F(FirmwareFile, DamagedLogicalBodyAndDamagedKthFragment) {
    const std::string a = Physical("a", {1, 2, 3});
    const std::string b = Physical("b", {4, 5});
    const std::string c = Physical("c", {6});
    Logical({a, b, c}, dir / "all.fw", 3);
    Bytes file = testutil::ReadBytes(dir / "all.fw");

    Bytes bodyDamaged = file;
    bodyDamaged.back() ^= 1;
    testutil::WriteBytes(dir / "body.fw", bodyDamaged);
    CaptureStdout();
    {
        CFirmwareFile parsed(dir / "body.fw");
        EXPECT_EQ(parsed.NoFragments(), 0u);
        EXPECT_NE(parsed.GetHeader(), nullptr);
    }
    EXPECT_EQ(GetCapturedStdout(), "Logical CRC fragment check fail!\n");

    // Second physical header (at 47 + 41) gets a wrong body CRC with a matching
    // header CRC; the logical CRCs are then repaired so only fragment 2 fails.
    Bytes kth = file;
    kth[88 + 14] ^= 0xFF;
    RestoreHeaderCrc(kth, 88, 1);
    RepairLogicalHeader(kth);
    testutil::WriteBytes(dir / "kth.fw", kth);
    unsigned fragments = 9;
    EXPECT_EQ(Parse(dir / "kth.fw", &fragments), "Incomplete parsing of data file\n");
    EXPECT_EQ(fragments, 1u);
}

TEST_F(FirmwareFile, LogicalBuildTypedPhysicalParsesAsOneFragment) {
    const std::string a = Physical("a", {1, 2, 3});
    Logical({a}, dir / "p.fw", 1, 400);
    unsigned fragments = 0;
    EXPECT_EQ(Parse(dir / "p.fw", &fragments), "");
    EXPECT_EQ(fragments, 1u);
}

TEST_F(FirmwareFile, InputsWithoutFragmentsAreLeftOut) {
    const std::string a = Physical("a", {1, 2, 3});
    const std::string c = Physical("c", {9, 9});
    const std::string printed = Logical({a, dir / "missing", c}, dir / "ac.fw", 3);
    EXPECT_EQ(printed.find("Unable to write out empty or unparsed firmware fragment.\n"), 0u);
    unsigned fragments = 0;
    EXPECT_EQ(Parse(dir / "ac.fw", &fragments), "Incomplete parsing of data file\n");
    EXPECT_EQ(fragments, 2u);

    Logical({dir / "missing"}, dir / "none.fw", 2);
    EXPECT_EQ(testutil::ReadBytes(dir / "none.fw").size(), 47u);
}

TEST_F(FirmwareFile, InputsStaySafeToDestroyAfterALogicalBuild) {
    const std::string a = Physical("a", {1, 2, 3});
    std::list<CFirmwareFile*> files{new CFirmwareFile(a)};
    CaptureStdout();
    delete new CFirmwareFile(files, dir / "l.fw", 300, 0, 0, "L", 0, 0, 0, 0, 0, 1);
    GetCapturedStdout();
    EXPECT_EQ(files.front()->NoFragments(), 0u);  // its fragment went to the build
    delete files.front();
}

TEST_F(FirmwareFile, RebuiltHeaderLengthsPlaceEveryBody) {
    // A stored name length of 0 is rebuilt as one space: the header grows by one.
    Bytes odd(40 + 3, 0);
    odd[0] = 40;
    odd[2] = 0x90;
    odd[3] = 0x01;
    odd[9] = 3;    // body length
    odd[15] = 40;  // body offset
    odd[40] = 'x';
    odd[41] = 'y';
    odd[42] = 'z';
    const uint16_t bodyCrc = Crc16ArcBitwise(0, odd.data() + 40, 3);
    odd[13] = static_cast<uint8_t>(bodyCrc);
    odd[14] = static_cast<uint8_t>(bodyCrc >> 8);
    RestoreHeaderCrc(odd, 0, 0);
    testutil::WriteBytes(dir / "odd.fw", odd);
    const std::string b = Physical("b", {1, 2});
    Logical({dir / "odd.fw", b}, dir / "l.fw", 2);
    CFirmwareFile parsed(dir / "l.fw");
    ASSERT_EQ(parsed.NoFragments(), 2u);
    EXPECT_TRUE(parsed.ParseComplete());
    parsed.DumpRawFragment(0, dir / "x");
    EXPECT_EQ(testutil::ReadText(dir / "x"), "xyz");
}

// Two headers the format accepts: one stored n + 39 bytes long with name length 0 (no
// last reserved byte), and an empty body whose offset points past the end of the file.
// Both parse, and the fragments behind them are kept.
TEST_F(FirmwareFile, ShortestHeaderAndEmptyBodyAnywhereParse) {
    using fragbytes::Put;
    fragbytes::Meta meta;
    Bytes shortest = fragbytes::Header("", meta, 0, 0, 99999);
    shortest.pop_back();
    shortest[0] = 39;
    RestoreHeaderCrc(shortest, 0, 0);
    const Bytes body = {'h', 'i'};
    Bytes logicalBody = shortest;
    const Bytes next = fragbytes::Header("b", meta, 2, fragbytes::Crc16(body), 47 + 39 + 41);
    logicalBody.insert(logicalBody.end(), next.begin(), next.end());
    logicalBody.insert(logicalBody.end(), body.begin(), body.end());
    Bytes extension;
    Put(extension, 7, 4);
    Put(extension, 2, 2);
    meta.type = 300;
    Bytes file = fragbytes::Header("L", meta, static_cast<uint32_t>(logicalBody.size()),
                                   fragbytes::Crc16(logicalBody), 47, extension);
    file.insert(file.end(), logicalBody.begin(), logicalBody.end());
    testutil::WriteBytes(dir / "l.fw", file);
    unsigned fragments = 0;
    bool complete = false;
    EXPECT_EQ(Parse(dir / "l.fw", &fragments, &complete), "");
    EXPECT_EQ(fragments, 2u);
    EXPECT_TRUE(complete);

    testutil::WriteBytes(dir / "p.fw", fragbytes::Header("e", fragbytes::Meta{}, 0, 0, 5000));
    EXPECT_EQ(Parse(dir / "p.fw", &fragments, &complete), "");
    EXPECT_EQ(fragments, 1u);
    EXPECT_TRUE(complete);
}

// A firmware file changed after its parse checked it (in place, or cut short) is never
// copied into an extracted file or a logical build: the bytes copied are checked again.
TEST_F(FirmwareFile, InputsChangedAfterTheParseAreNeverWritten) {
    const std::function<void(const std::string&)> changes[] = {
        [](const std::string& path) { testutil::FlipByte(path, 1000); },
        [](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 100), 0); }};
    for (const auto& change : changes) {
        const std::string a = Physical("a", testutil::RandomBytes(300000, 2));
        std::list<CFirmwareFile*> files = {new CFirmwareFile(a)};
        files.front()->ReleaseInput();
        CFirmwareFile parsed(a);
        change(a);
        parsed.DumpRawFragment(0, dir / "x");
        EXPECT_TRUE(parsed.DataChanged());
        EXPECT_FALSE(parsed.WriteComplete());
        CaptureStdout();
        CFirmwareFile built(files, dir / "l.fw", 300, 0, 0, "L", 0, 0, 0, 0, 7, 1);
        EXPECT_EQ(GetCapturedStdout(), "Data file " + a + " changed while it was read\n");
        EXPECT_FALSE(built.WriteComplete());
        delete files.front();
        EXPECT_FALSE(testutil::Exists(dir / "x"));
        EXPECT_FALSE(testutil::Exists(dir / "l.fw"));
    }
}

TEST_F(FirmwareFile, HeadersSharingOneLargeBodyStopTheWalk) {
    // Many headers all pointing at one body claim more than the logical body holds.
    const std::string a = Physical("a", testutil::RandomBytes(4000));
    Logical({a}, dir / "one.fw", 1);
    Bytes file = testutil::ReadBytes(dir / "one.fw");
    const Bytes header(file.begin() + 47, file.begin() + 88);
    Bytes crafted(file.begin(), file.begin() + 47);
    for (int i = 0; i < 50; ++i)
        crafted.insert(crafted.end(), header.begin(), header.end());
    const uint32_t bodyStart = static_cast<uint32_t>(crafted.size());
    crafted.insert(crafted.end(), file.begin() + 88, file.end());
    for (int i = 0; i < 50; ++i) {
        Put32(crafted, 47 + 41 * i + 15 + 1, bodyStart);
        RestoreHeaderCrc(crafted, static_cast<uint32_t>(47 + 41 * i), 1);
    }
    Put32(crafted, 10, static_cast<uint32_t>(crafted.size() - 47));  // logical body length
    crafted[45] = 50;                                                // announced objects
    RepairLogicalHeader(crafted);
    testutil::WriteBytes(dir / "crafted.fw", crafted);
    unsigned fragments = 0;
    EXPECT_EQ(Parse(dir / "crafted.fw", &fragments), "Incomplete parsing of data file\n");
    EXPECT_EQ(fragments, 1u);
}

TEST_F(FirmwareFile, FailedWritesLeaveNoPartialFile) {
    testutil::WriteBytes(dir / "data", testutil::RandomBytes(10000));
    CaptureStdout();
    {
        CFirmwareFile full(dir / "data", "/dev/full", 400, 0, 0, "d", 0, 0, 0, 0);
        EXPECT_FALSE(full.WriteComplete());
        CFirmwareFile noDir(dir / "data", dir / "no/such/dir.fw", 400, 0, 0, "d", 0, 0, 0, 0);
        EXPECT_FALSE(noDir.WriteComplete());
    }
    EXPECT_EQ(GetCapturedStdout(),
              "Unable to write firmware file /dev/full: No space left on device\n"
              "Unable to write firmware file " +
                  (dir / "no/such/dir.fw") + ": No such file or directory\n");
    const std::string fw = Physical("ok", testutil::RandomBytes(100));
    CFirmwareFile parsed(fw);
    parsed.DumpRawFragment(0, "/dev/full");
    EXPECT_FALSE(parsed.WriteComplete());
    testutil::WriteText(dir / "keep", "previous");
    parsed.DumpRawFragment(0, dir / "keep");
    EXPECT_TRUE(parsed.WriteComplete());
    EXPECT_EQ(testutil::ReadBytes(dir / "keep"), testutil::RandomBytes(100));
}

TEST_F(FirmwareFile, OutputThroughASymlinkReplacesTheTarget) {
    testutil::WriteBytes(dir / "data", {1, 2, 3});
    testutil::WriteText(dir / "real.fw", "old");
    ASSERT_EQ(symlink("real.fw", (dir / "link.fw").c_str()), 0);
    CaptureStdout();
    CFirmwareFile built(dir / "data", dir / "link.fw", 400, 0, 0, "d", 0, 0, 0, 0);
    GetCapturedStdout();
    struct stat st {};
    ASSERT_EQ(lstat((dir / "link.fw").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(testutil::ReadBytes(dir / "real.fw").size(), 44u);
}
