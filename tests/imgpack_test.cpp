// End-to-end tests of imgpack: the built program run in scratch directories,
// checked by its standard output, exit status and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "FragmentBytes.h"
#include "TestUtil.h"

#ifdef IMGPACK_PATH

namespace {

using fragbytes::Le;
using fragbytes::Meta;
using fragbytes::Part;
using testutil::Bytes;
using testutil::Exists;
using testutil::ReadBytes;
using testutil::RunResult;
using testutil::ToBytes;
using testutil::WriteBytes;
using testutil::WriteText;

const char* const kUsage =
    "Usage: imgpack [ options ... ] [Data File] \n"
    "       where options include:\n"
    "\n"
    "  -t <type>          Specify <type> to encode.\n"
    "                          300 - 399 = Logical File (Ensure -p option is set)\n"
    "                          400+      = Physical File\n"
    "  -r <release>       Specify <release> to encode.\n"
    "  -v <version>       Specify <version> to encode.\n"
    "  -n <name>          Specify <name> to encode.\n"
    "                     This value is used as the file name when decoding\n"
    "                     If no name is supplied, the [Data File] name is used with any "
    "preceeding path information removed\n"
    "  -d <day>           Specify <day> to encode.\n"
    "  -m <month>         Specify <month> to encode.\n"
    "  -y <year>          Specify <year> to encode.\n"
    "  -b <build>         Specify <build> to encode.\n"
    "  -p <no_phys_obj>   Specify number of physical objects to encode.\n"
    "                     Set this value for logical file encoding\n"
    "  -a <article_no>    Specify article number for firmware file.\n"
    "                     Set this value for logical file encoding\n"
    "  -o <output file>   Specify <output file> to write Firmware File to.\n"
    "                     If no output file is specified, the [Data File] is\n"
    "                     used, with '.fw' appended.\n"
    "  -h                 Print this message.\n";

class ImgpackTest : public ::testing::Test {
  protected:
    RunResult Pack(const std::string& args) {
        return testutil::Run(std::string(IMGPACK_PATH) + " " + args, dir.Path());
    }
    std::string P(const std::string& name) const { return dir / name; }
    // Writes `body` to `data` and packs it as a physical file named `fw`.
    void PackData(const std::string& data, const Bytes& body, const std::string& fw) {
        WriteBytes(P(data), body);
        ASSERT_EQ(Pack("-t 400 -o " + fw + " " + data).status, 0);
    }

    testutil::TempDir dir;
};

std::string Written(const char* kind, const std::string& out, size_t bytes) {
    return std::string(kind) + " Firmware File " + out + " written with " + std::to_string(bytes) +
           " bytes\n";
}

TEST_F(ImgpackTest, UsageErrorsPrintTheUsageTextAndExit1) {
    WriteText(P("data.bin"), "data");
    for (const char* args : {"", "-h", "-x data.bin", "data.bin -t", "-h -t 400 data.bin"}) {
        const RunResult r = Pack(args);
        EXPECT_EQ(r.out, kUsage) << args;
        EXPECT_EQ(r.err, "") << args;
        EXPECT_EQ(r.status, 1) << args;
    }
    EXPECT_FALSE(Exists(P("data.bin.fw")));
}

// Both firmware commands name their version and do nothing else, wherever -V
// stands among the other options and operands.
TEST_F(ImgpackTest, VersionOptionPrintsTheVersionAndExits0) {
    WriteText(P("data.bin"), "data");
    const std::string imgunpack = IMGUNPACK_PATH;
    for (const std::string& program : {std::string(IMGPACK_PATH), imgunpack}) {
        const std::string name = program == imgunpack ? "imgunpack" : "imgpack";
        for (const char* args : {"-V", "-V data.bin", "-d 3 -V data.bin", "data.bin -V"}) {
            const RunResult r = testutil::Run(program + " " + args, dir.Path());
            EXPECT_EQ(r.out, name + " (fwkit) " FWKIT_VERSION "\n") << name << " " << args;
            EXPECT_EQ(r.err, "") << args;
            EXPECT_EQ(r.status, 0) << args;
        }
    }
    EXPECT_EQ(testutil::Run("ls", dir.Path()).out, "data.bin\n");
}

TEST_F(ImgpackTest, OperandErrorsExit1) {
    RunResult r = Pack("-t 400");
    EXPECT_EQ(r.out, "Input File name not provided. Exiting...\n");
    EXPECT_EQ(r.status, 1);
    r = Pack("-p 2 a.fw");
    EXPECT_EQ(r.out, "Expected 2 files but got 1\n");
    EXPECT_EQ(r.status, 1);
    r = Pack("-p 1 a.fw b.fw");
    EXPECT_EQ(r.out, "Expected 1 files but got 2\n");
    EXPECT_EQ(r.status, 1);
    // The object count is 16 bits wide: refused before any operand is looked at.
    r = Pack("-p 65536 a.fw");
    EXPECT_EQ(r.out, "A logical firmware file holds at most 65535 objects\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImgpackTest, EveryOptionReachesTheHeaderByteForByte) {
    WriteText(P("abc"), "abc");
    const RunResult r = Pack("-t 400 -r 1 -v 2 -b 3 -d 4 -m 5 -y 2010 abc");
    EXPECT_EQ(r.out, Written("Physical", "abc.fw", 46));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    const Bytes expected = {0x2B, 0x00, 0x90, 0x01, 0x01, 0x00, 0x02, 0x00, 0x03, 0x61, 0x62, 0x63,
                            0x03, 0x00, 0x00, 0x00, 0x38, 0x97, 0x2B, 0x00, 0x00, 0x00, 0x01, 0x00,
                            0x18, 0x9B, 0x03, 0x00, 0x00, 0x00, 0x04, 0x05, 0xDA, 0x07, 0x00, 0x00,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
    EXPECT_EQ(ReadBytes(P("abc.fw")), expected);
    Meta m;
    m.release = 1, m.version = 2, m.build = 3, m.day = 4, m.month = 5;
    EXPECT_EQ(fragbytes::Physical({"abc", ToBytes("abc"), m}), expected);  // the helper agrees
}

TEST_F(ImgpackTest, DefaultsAndOptionsAfterTheOperand) {
    WriteText(P("data.bin"), "payload");
    EXPECT_EQ(Pack("data.bin").status, 0);
    Meta m;
    m.type = 0;
    EXPECT_EQ(ReadBytes(P("data.bin.fw")),
              fragbytes::Physical({"data.bin", ToBytes("payload"), m}));

    EXPECT_EQ(Pack("data.bin -t 401 -a 9 -r 7 -t 402").status, 0);  // the last -t counts
    m.type = 402, m.release = 7;
    EXPECT_EQ(ReadBytes(P("data.bin.fw")),
              fragbytes::Physical({"data.bin", ToBytes("payload"), m}));
}

TEST_F(ImgpackTest, NumbersAreReadLikeStrtolAndClampedTo32Bits) {
    WriteText(P("d"), "x");
    struct Case {
        const char* args;
        size_t offset;  // in a header with the one-byte name "d"
        int width;
        uint32_t value;
    };
    const Case cases[] = {
        {"-t 4xy", 2, 2, 4},
        {"-t abc", 2, 2, 0},
        {"-t 65536", 2, 2, 0},
        {"-t ' 65535'", 2, 2, 65535},
        {"-r -1", 4, 2, 0xFFFF},
        {"-v 258", 6, 2, 258},
        {"-b -1", 24, 4, 0xFFFFFFFF},
        {"-b 99999999999", 24, 4, 0x7FFFFFFF},
        {"-b -99999999999", 24, 4, 0x80000000},
        {"-d 300", 28, 1, 44},
        {"-m 12", 29, 1, 12},
        {"-y 70000", 30, 2, 70000 - 65536},
        {"-p -3 -t 400", 2, 2, 400},  // -p below 1 keeps physical mode
    };
    for (const Case& c : cases) {
        const RunResult r = Pack(std::string(c.args) + " d");
        ASSERT_EQ(r.status, 0) << c.args;
        const Bytes fw = ReadBytes(P("d.fw"));
        ASSERT_EQ(fw.size(), 42u) << c.args;
        EXPECT_EQ(Le(fw, c.offset, c.width), c.value) << c.args;
    }
}

TEST_F(ImgpackTest, OutputAndFragmentNamesAreDerived) {
    ASSERT_EQ(std::system(("mkdir -p " + P("path/to")).c_str()), 0);
    WriteText(P("path/to/app.bin"), "app");
    const Bytes named = fragbytes::Physical({"app", ToBytes("app"), {}});
    const Bytes derived = fragbytes::Physical({"app.bin", ToBytes("app"), {}});

    RunResult r = Pack("-t 400 -n app path/to/app.bin");
    EXPECT_EQ(r.out, Written("Physical", "path/to/app.bin.fw", named.size()));
    EXPECT_EQ(ReadBytes(P("path/to/app.bin.fw")), named);

    r = Pack("-t 400 -o out.fw path/to/app.bin");
    EXPECT_EQ(r.out, Written("Physical", "out.fw", derived.size()));
    EXPECT_EQ(ReadBytes(P("out.fw")), derived);

    r = Pack("-t 400 -n '' -o '' path/to/app.bin");  // empty counts as not given
    EXPECT_EQ(r.out, Written("Physical", "path/to/app.bin.fw", derived.size()));
    EXPECT_EQ(ReadBytes(P("path/to/app.bin.fw")), derived);
}

TEST_F(ImgpackTest, EmptyDataFileGivesAHeaderOnlyFile) {
    WriteText(P("e"), "");
    const RunResult r = Pack("-t 400 e");
    EXPECT_EQ(r.out, Written("Physical", "e.fw", 41));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(P("e.fw")), fragbytes::Physical({"e", {}, {}}));
}

TEST_F(ImgpackTest, LogicalBuildsOfOneToThreeInputs) {
    const Part a{"a.bin", testutil::RandomBytes(5000, 1), {}};
    const Part b{"b.bin", testutil::RandomBytes(1, 2), {}};
    const Part c{"c.bin", {}, {}};
    PackData("a.bin", a.body, "a.fw");
    PackData("b.bin", b.body, "b.fw");
    PackData("c.bin", c.body, "c.fw");
    Meta lm;
    lm.type = 300;

    RunResult r = Pack("-p 2 -t 300 -a 7 a.fw b.fw");
    Bytes expected = fragbytes::Logical("LogicalFirmwareObject.fw", lm, 7, 2, {a, b});
    EXPECT_EQ(r.out, Written("Logical", "LogicalFirmwareObject.fw.fw", expected.size()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(P("LogicalFirmwareObject.fw.fw")), expected);

    r = Pack("-p 3 -t 301 -b 9 -n all -o all.fw c.fw a.fw b.fw");
    lm.type = 301, lm.build = 9;
    expected = fragbytes::Logical("all", lm, 0, 3, {c, a, b});
    EXPECT_EQ(r.out, Written("Logical", "all.fw", expected.size()));
    EXPECT_EQ(ReadBytes(P("all.fw")), expected);

    // One input: the names follow its fragment's name.
    r = Pack("-p 1 -t 300 b.fw");
    lm.type = 300, lm.build = 1;
    expected = fragbytes::Logical("b.bin.fw", lm, 0, 1, {b});
    EXPECT_EQ(r.out, Written("Logical", "b.bin.fw.fw", expected.size()));
    EXPECT_EQ(ReadBytes(P("b.bin.fw.fw")), expected);
}

TEST_F(ImgpackTest, OutputThatIsTheDataFileIsRefused) {
    WriteText(P("data.bin"), "precious");
    ASSERT_EQ(std::system(("ln " + P("data.bin") + " " + P("link.bin")).c_str()), 0);
    for (const char* out : {"data.bin", "./data.bin", "link.bin"}) {
        const RunResult r = Pack(std::string("-t 400 -o ") + out + " data.bin");
        EXPECT_EQ(r.out, std::string("Output file ") + out +
                             " is the data file being read, not written\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(testutil::ReadText(P("data.bin")), "precious");
    }
}

TEST_F(ImgpackTest, LogicalOutputThatIsAnInputIsRefused) {
    PackData("a.bin", ToBytes("aaa"), "a.fw");
    PackData("b.bin", ToBytes("bbb"), "b.fw");
    const Bytes before = ReadBytes(P("b.fw"));
    const RunResult r = Pack("-p 2 -t 300 -o ./b.fw a.fw b.fw");
    EXPECT_EQ(r.out, "Output file ./b.fw is the input b.fw being read, not written\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadBytes(P("b.fw")), before);
}

TEST_F(ImgpackTest, UnusableDataFileIsRefusedAndNothingWritten) {
    WriteText(P("missing.bin.fw"), "older output");
    RunResult r = Pack("-t 400 missing.bin");
    EXPECT_EQ(r.out, "Unable to read data file missing.bin\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testutil::ReadText(P("missing.bin.fw")), "older output");

    ASSERT_EQ(std::system(("mkdir " + P("dir")).c_str()), 0);
    r = Pack("-t 400 dir");
    EXPECT_EQ(r.out, "Data file dir is not a regular file\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(P("dir.fw")));

    // Neither a FIFO nor a firmware file that is one is waited on; a file that says it
    // is empty and yet yields bytes is not packed as empty.
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
    r = Pack("-t 400 -o f.fw fifo");
    EXPECT_EQ(r.out, "Data file fifo is not a regular file\n");
    EXPECT_EQ(r.status, 1);
    r = Pack("-p 2 -t 300 -o f.fw fifo dir");
    EXPECT_EQ(r.out,
              "Firmware file fifo is not a regular file\nFirmware file dir is not a regular file\n"
              "Unable to write out empty or unparsed firmware fragment.\n"
              "Unable to write out empty or unparsed firmware fragment.\n");
    EXPECT_EQ(r.status, 1);
    r = Pack("-t 400 -o f.fw /proc/self/status");
    EXPECT_EQ(r.out, "Data file /proc/self/status cannot be measured\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(P("f.fw")));

    // An empty operand falls back to the logical default name as data file.
    r = Pack("-t 400 ''");
    EXPECT_EQ(r.out, "Unable to read data file LogicalFirmwareObject.fw\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(ImgpackTest, OutputThatCannotBeWrittenFailsWithoutPartialFile) {
    WriteBytes(P("data.bin"), testutil::RandomBytes(10000));
    RunResult r = Pack("-t 400 -o /dev/full data.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("written with"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("/dev/full"), std::string::npos) << r.out;

    r = Pack("-t 400 -o nodir/out.fw data.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("nodir/out.fw"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists(P("nodir")));

    ASSERT_EQ(Pack("-t 400 -o a.fw data.bin").status, 0);
    r = Pack("-p 1 -t 300 -o /dev/full a.fw");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("written with"), std::string::npos) << r.out;
}

TEST_F(ImgpackTest, LogicalInputWithoutFragmentStopsTheBuild) {
    PackData("a.bin", ToBytes("aaa"), "a.fw");
    Bytes bad = ReadBytes(P("a.fw"));
    bad.back() ^= 1;  // body no longer matches its CRC
    WriteBytes(P("bad.fw"), bad);
    WriteText(P("empty.fw"), "");
    const RunResult r = Pack("-p 4 -t 300 a.fw bad.fw missing.fw empty.fw");
    EXPECT_EQ(r.out,
              "Unable to read firmware file missing.fw\n"
              "Firmware file empty.fw is empty\n"
              "Unable to write out empty or unparsed firmware fragment.\n"
              "Unable to write out empty or unparsed firmware fragment.\n"
              "Unable to write out empty or unparsed firmware fragment.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(P("LogicalFirmwareObject.fw.fw")));
}

// The output is a pipe this test reads, so the header goes out after a first reading
// of the data, and the body is read again behind it. A data file changed in place once
// the header arrived gives another CRC the second time: nothing may claim success.
TEST_F(ImgpackTest, DataChangedWhileItIsReadIsReported) {
    const size_t size = 4 << 20;
    WriteBytes(P("data.bin"), testutil::RandomBytes(size, 5));
    PackData("b.bin", testutil::RandomBytes(size, 6), "b.fw");
    const struct {
        std::string args;
        std::string changed;
    } cases[] = {{"-t 400 -o out data.bin", "data.bin"},
                 {"-p 2 -t 300 -o out data.bin.fw b.fw", "b.fw"}};
    ASSERT_EQ(Pack("-t 400 data.bin").status, 0);
    for (const auto& c : cases) {
        RunResult r;
        testutil::ReadFifoChangingInput(
            P("out"), [&] { r = Pack(c.args); }, [&] { testutil::FlipLastByte(P(c.changed)); });
        EXPECT_EQ(r.out, "Data file " + c.changed + " changed while it was read\n");
        EXPECT_EQ(r.status, 1);
        ASSERT_EQ(unlink(P("out").c_str()), 0);
    }
}

TEST_F(ImgpackTest, SingleInputNamesLeadingOutsideFallBackToTheDefault) {
    ASSERT_EQ(std::system(("mkdir " + P("sub")).c_str()), 0);
    Meta lm;
    lm.type = 300;
    for (const std::string& name :
         {std::string("../evil"), std::string("/abs"), std::string("a\0b", 3)}) {
        const Part part{name, ToBytes("data"), {}};
        WriteBytes(P("in.fw"), fragbytes::Physical(part));
        const Bytes expected = fragbytes::Logical("LogicalFirmwareObject.fw", lm, 0, 1, {part});
        const RunResult r = Pack("-p 1 -t 300 in.fw");
        EXPECT_EQ(r.out, Written("Logical", "LogicalFirmwareObject.fw.fw", expected.size()));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadBytes(P("LogicalFirmwareObject.fw.fw")), expected);
    }
    EXPECT_FALSE(Exists(dir.Path() + "/../evil.fw.fw"));

    // A name into an existing subdirectory is fine.
    const Part part{"sub/app", ToBytes("data"), {}};
    WriteBytes(P("in.fw"), fragbytes::Physical(part));
    const RunResult r = Pack("-p 1 -t 300 in.fw");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(P("sub/app.fw.fw")), fragbytes::Logical("app.fw", lm, 0, 1, {part}));
}

// Sparse files stand in for data of 4 GiB: nothing that large is ever read.
TEST_F(ImgpackTest, OutputsOf4GiBAreRefused) {
    WriteText(P("big.fw"), "older output");
    const std::string truncate = "truncate -s ";
    ASSERT_EQ(std::system((truncate + "4294967296 " + P("big")).c_str()), 0);
    RunResult r = Pack("-t 400 -o big.fw big");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("written with"), std::string::npos) << r.out;
    EXPECT_EQ(testutil::ReadText(P("big.fw")), "older output");

    // 43 header bytes for the name "big" make the output exactly 4 GiB.
    ASSERT_EQ(std::system((truncate + "4294967253 " + P("big")).c_str()), 0);
    r = Pack("-t 400 -o big.fw big");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testutil::ReadText(P("big.fw")), "older output");
}

}  // namespace

#endif  // IMGPACK_PATH
