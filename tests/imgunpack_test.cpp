// End-to-end tests of imgunpack (and round trips through imgpack): the built
// programs run in scratch directories, checked by their standard output, exit
// status and the files they leave.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "FragmentBytes.h"
#include "TestUtil.h"

#ifdef IMGUNPACK_PATH

namespace {

using fragbytes::kSeparator;
using fragbytes::Meta;
using fragbytes::Part;
using fragbytes::PartListing;
using testutil::Bytes;
using testutil::Exists;
using testutil::ReadBytes;
using testutil::RunResult;
using testutil::ToBytes;
using testutil::WriteBytes;
using testutil::WriteText;
using Json = nlohmann::json;

const char* const kUsage =
    "Usage: imgunpack [ options ... ] [Firmware File] \n"
    "       where options include:\n"
    "\n"
    "  -n <name>      Specify a Firmware File <name> to search for and decode.\n"
    "  -d             Display Firmware File contents only.\n"
    "  -h             Print this message.\n";

class ImgunpackTest : public ::testing::Test {
  protected:
    RunResult Unpack(const std::string& args) { return UnpackIn(dir.Path(), args); }
    RunResult UnpackIn(const std::string& cwd, const std::string& args) {
        return testutil::Run(std::string(IMGUNPACK_PATH) + " " + args, cwd);
    }
    std::string P(const std::string& name) const { return dir / name; }
    // The report of `file` with -j, which must be one valid JSON document.
    Json Report(const std::string& file, int status) {
        const RunResult r = Unpack("-j " + file);
        EXPECT_EQ(r.status, status) << file;
        EXPECT_EQ(r.err, "");
        return Json::parse(r.out);
    }
    void MakeDir(const std::string& name) {
        ASSERT_EQ(std::system(("mkdir -p " + testutil::Quote(P(name))).c_str()), 0);
    }
    // Files in the scratch directory other than `keep`.
    std::string OtherFiles(const std::string& keep) {
        const std::string ls = "(ls -A | grep -vx " + testutil::Quote(keep) + " || true)";
        return testutil::Run(ls, dir.Path()).out;
    }

    testutil::TempDir dir;
};

Meta Typed(uint32_t type) {
    Meta m;
    m.type = type;
    return m;
}

const std::vector<Part> kParts = {
    {"app.bin", testutil::RandomBytes(3000, 1), {}},
    {"APPLICATION", ToBytes("second"), Typed(401)},
    {"boot", {}, Typed(206)},
};

Bytes LogicalOf(const std::vector<Part>& parts, uint32_t noObjects) {
    return fragbytes::Logical("all", Typed(300), 17, noObjects, parts);
}

TEST_F(ImgunpackTest, UsageErrorsPrintTheUsageTextAndExit1) {
    WriteBytes(P("fw.bin"), fragbytes::Physical(kParts[0]));
    for (const char* args : {"", "-h", "-x fw.bin", "fw.bin -n", "-h fw.bin"}) {
        const RunResult r = Unpack(args);
        EXPECT_EQ(r.out, kUsage) << args;
        EXPECT_EQ(r.err, "") << args;
        EXPECT_EQ(r.status, 1) << args;
    }
    const RunResult r = Unpack("-d");
    EXPECT_EQ(r.out, "Input File name not provided. Exiting...\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(OtherFiles("fw.bin"), "");
}

TEST_F(ImgunpackTest, ListsBothKindsOfFile) {
    WriteBytes(P("fw.bin"), fragbytes::Physical(kParts[0]));
    const std::string physical = kSeparator + PartListing(kParts[0]) + kSeparator;
    for (const char* args : {"-d fw.bin", "fw.bin -d -n xyz"}) {
        const RunResult r = Unpack(args);
        EXPECT_EQ(r.out, physical) << args;
        EXPECT_EQ(r.status, 0) << args;
    }

    const Bytes logical = LogicalOf(kParts, 3);
    WriteBytes(P("fw.bin"), logical);
    const RunResult r = Unpack("-d fw.bin");
    const std::string header =
        std::string(kSeparator) + "Logical Header\nNo Objects: 3\n" + "Article No: 17\n" +
        fragbytes::FragmentListing("all", logical.size(), logical.size() - 49, Typed(300));
    EXPECT_EQ(r.out, kSeparator + header + PartListing(kParts[0]) + PartListing(kParts[1]) +
                         PartListing(kParts[2]) + kSeparator);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(OtherFiles("fw.bin"), "");
}

TEST_F(ImgunpackTest, ExtractsAllOrAPrefixWithoutRegardToCase) {
    WriteBytes(P("fw.bin"), LogicalOf(kParts, 3));
    RunResult r = Unpack("fw.bin");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 0);
    for (const Part& p : kParts)
        EXPECT_EQ(ReadBytes(P(p.name)), p.body) << p.name;

    for (const Part& p : kParts)
        std::remove(P(p.name).c_str());
    r = Unpack("-n App fw.bin");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadBytes(P("app.bin")), kParts[0].body);
    EXPECT_EQ(ReadBytes(P("APPLICATION")), kParts[1].body);
    EXPECT_FALSE(Exists(P("boot")));

    std::remove(P("app.bin").c_str());
    std::remove(P("APPLICATION").c_str());
    r = Unpack("-n app.bin.old fw.bin other.fw");  // longer than every name; one operand counts
    EXPECT_EQ(r.out, "No fragment of firmware file fw.bin matches app.bin.old\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(OtherFiles("fw.bin"), "");

    MakeDir("out");
    EXPECT_EQ(Unpack("-C out fw.bin").status, 0);
    for (const Part& p : kParts)
        EXPECT_EQ(ReadBytes(P("out/" + p.name)), p.body) << p.name;
    r = Unpack("-C missing fw.bin");
    EXPECT_EQ(r.out, "Directory missing does not exist\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(OtherFiles("fw.bin"), "out\n");
}

TEST_F(ImgunpackTest, LaterFragmentOfTheSameNameWins) {
    const std::vector<Part> parts = {{"same", ToBytes("first"), {}}, {"same", ToBytes("2nd"), {}}};
    WriteBytes(P("fw.bin"), LogicalOf(parts, 2));
    EXPECT_EQ(Unpack("fw.bin").status, 0);
    EXPECT_EQ(testutil::ReadText(P("same")), "2nd");
}

#ifdef IMGPACK_PATH
TEST_F(ImgunpackTest, DataComesBackUnchangedThroughPhysicalAndLogicalFiles) {
    const size_t sizes[] = {0, 1, 4095, 4096, 4097, 3 * 1024 * 1024 + 7};
    MakeDir("out");
    std::string inputs;
    for (size_t i = 0; i < 6; ++i) {
        const std::string name = "data" + std::to_string(i);
        WriteBytes(P(name), testutil::RandomBytes(sizes[i], static_cast<uint32_t>(i + 10)));
        const std::string pack = std::string(IMGPACK_PATH) + " -t 400 " + name;
        ASSERT_EQ(testutil::Run(pack, dir.Path()).status, 0) << name;
        const RunResult r = UnpackIn(P("out"), "../" + name + ".fw");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadBytes(P("out/" + name)), ReadBytes(P(name))) << name;
        inputs += " " + name + ".fw";
    }
    const std::string join = std::string(IMGPACK_PATH) + " -p 6 -t 300 -o all.fw" + inputs;
    ASSERT_EQ(testutil::Run(join, dir.Path()).status, 0);
    MakeDir("all");
    EXPECT_EQ(UnpackIn(P("all"), "../all.fw").status, 0);
    for (size_t i = 0; i < 6; ++i) {
        const std::string name = "data" + std::to_string(i);
        EXPECT_EQ(ReadBytes(P("all/" + name)), ReadBytes(P(name))) << name;
    }
}
#endif

// Stored names are shown with control bytes and backslashes escaped, so no name can forge
// a listing line or reach the terminal as a control sequence; the file keeps its bytes.
TEST_F(ImgunpackTest, NamesAreEscapedInListingsAndExtractedAsStored) {
    const std::vector<Part> parts = {
        {"a\nFirmware File Name: forged", ToBytes("1"), {}},
        {"red\x1b[31m\t\\\x7f\xc3\xa9", ToBytes("2"), {}},
    };
    WriteBytes(P("fw.bin"), LogicalOf(parts, 2));
    const RunResult list = Unpack("-d fw.bin");
    EXPECT_NE(list.out.find("Firmware File Name: a\\nFirmware File Name: forged\n"),
              std::string::npos)
        << list.out;
    EXPECT_NE(list.out.find("Firmware File Name: red\\x1b[31m\\t\\\\\\x7f\xc3\xa9\n"),
              std::string::npos)
        << list.out;
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(Unpack("fw.bin").status, 0);
    EXPECT_EQ(testutil::ReadText(P(parts[0].name)), "1");
    EXPECT_EQ(testutil::ReadText(P(parts[1].name)), "2");
}

// Links planted in the working directory: one at a fragment's name pointing
// outside, a dangling one, and one to a directory outside among a name's parts.
TEST_F(ImgunpackTest, NamesLeadingOutsideAreRefusedAndTheOthersExtracted) {
    MakeDir("work/sub");
    MakeDir("outside");
    WriteText(P("outside/victim"), "untouched");
    for (const auto& link : {std::pair<const char*, const char*>{"../outside/victim", "app"},
                             {"../outside/ghost", "ghost"},
                             {"../outside", "lnk"},
                             {"../outside", "sub/deep"}})
        ASSERT_EQ(symlink(link.first, P(std::string("work/") + link.second).c_str()), 0);
    const std::string longName = "sub/" + std::string(251, 'n');
    const std::vector<Part> parts = {
        {"app", ToBytes("app"), {}},         {"ghost", ToBytes("ghost"), {}},
        {"lnk/victim", ToBytes("x"), {}},    {"./sub/deep/victim", ToBytes("x"), {}},
        {longName, ToBytes("long"), {}},     {"../evil", ToBytes("x"), {}},
        {P("abs"), ToBytes("x"), {}},        {std::string("a\0b", 3), ToBytes("x"), {}},
        {"sub/../../x", ToBytes("x"), {}},   {"ok.bin", ToBytes("ok"), {}},
        {"sub/app", ToBytes("sub app"), {}}, {"..data", ToBytes("dots"), {}},
    };
    WriteBytes(P("fw.bin"), LogicalOf(parts, 12));
    const RunResult r = UnpackIn(P("work"), "../fw.bin");
    EXPECT_EQ(r.out,
              "Fragment lnk/victim not extracted: lnk is a symbolic link\n"
              "Fragment ./sub/deep/victim not extracted: ./sub/deep is a symbolic link\n"
              "Fragment ../evil not extracted: the name holds a '..' component\n"
              "Fragment " +
                  P("abs") +
                  " not extracted: the name is an absolute path\n"
                  "Fragment a\\x00b not extracted: the name holds a zero byte\n"
                  "Fragment sub/../../x not extracted: the name holds a '..' component\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(testutil::ReadText(P("work/ok.bin")), "ok");
    EXPECT_EQ(testutil::ReadText(P("work/sub/app")), "sub app");
    EXPECT_EQ(testutil::ReadText(P("work/..data")), "dots");
    EXPECT_FALSE(Exists(P("evil")));
    EXPECT_FALSE(Exists(P("abs")));
    EXPECT_FALSE(Exists(P("x")));
    EXPECT_FALSE(Exists(P("work/a")));
    EXPECT_EQ(testutil::ReadText(P("work/app")), "app");
    EXPECT_EQ(testutil::ReadText(P("work/ghost")), "ghost");
    EXPECT_EQ(testutil::ReadText(P("work/" + longName)), "long");
    EXPECT_EQ(testutil::Run("ls -A", P("outside")).out, "victim\n");
    EXPECT_EQ(testutil::ReadText(P("outside/victim")), "untouched");
}

TEST_F(ImgunpackTest, NeverWritesOverTheFirmwareFileBeingRead) {
    const std::vector<Part> parts = {{"fw.bin", ToBytes("would clobber"), {}},
                                     {"other", ToBytes("other"), {}}};
    const Bytes file = LogicalOf(parts, 2);
    WriteBytes(P("fw.bin"), file);
    const RunResult r = Unpack("fw.bin");
    EXPECT_EQ(r.out, "Fragment fw.bin not extracted: " + P("fw.bin") +
                         " is the firmware file being read\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadBytes(P("fw.bin")), file);
    EXPECT_EQ(testutil::ReadText(P("other")), "other");
}

TEST_F(ImgunpackTest, FragmentFileThatCannotBeWrittenIsReported) {
    WriteText(P("plain"), "a file, not a directory");
    const std::vector<Part> parts = {{"missing/app", ToBytes("a"), {}},
                                     {"plain/app", ToBytes("b"), {}},
                                     {"ok", ToBytes("c"), {}}};
    WriteBytes(P("fw.bin"), LogicalOf(parts, 3));
    const RunResult r = Unpack("fw.bin");
    EXPECT_EQ(r.out, "Unable to write fragment file " + P("missing/app") +
                         ": No such file or directory\n" + "Unable to write fragment file " +
                         P("plain/app") + ": Not a directory\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(Exists(P("missing")));
    EXPECT_EQ(testutil::ReadText(P("ok")), "c");
}

TEST_F(ImgunpackTest, FilesThatDoNotParseExit1) {
    MakeDir("dir");
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);  // without a writer: never waited on
    WriteText(P("empty.fw"), "");
    WriteText(P("one.fw"), "x");
    Bytes bad = fragbytes::Physical(kParts[0]);
    bad.back() ^= 1;
    WriteBytes(P("bad.fw"), bad);
    char crcLine[100];
    std::snprintf(crcLine, sizeof crcLine,
                  "Fragment app.bin: data CRC 0x%04X does not match the stored 0x%04X\n",
                  fragbytes::Crc16(Bytes(bad.begin() + 47, bad.end())),
                  fragbytes::Crc16(kParts[0].body));
    const std::pair<const char*, std::string> cases[] = {
        {"missing.fw", "Unable to read firmware file missing.fw\n"},
        {"dir", "Firmware file dir is not a regular file\n"},
        {"fifo", "Firmware file fifo is not a regular file\n"},
        {"/dev/stdin", "Firmware file /dev/stdin is not a regular file\n"},
        {"empty.fw", "Firmware file empty.fw is empty\n"},
        {"one.fw",
         "Firmware File invalid header found, with type 0, file size: 1\n"
         "No valid fragment in firmware file one.fw\n"},
        {"bad.fw", crcLine + std::string("No valid fragment in firmware file bad.fw\n")},
    };
    for (const auto& c : cases) {
        for (const char* option : {"", "-d "}) {
            const RunResult r = Unpack(option + std::string(c.first));
            EXPECT_EQ(r.out, c.second) << option << c.first;
            EXPECT_EQ(r.status, 1) << option << c.first;
        }
    }
    EXPECT_EQ(testutil::Run("ls -A", dir.Path()).out, "bad.fw\ndir\nempty.fw\nfifo\none.fw\n");
}

// Extraction into a pipe this test reads: once the first bytes arrive the parse has
// checked the body, and the body is then changed in place before the copy reaches its end.
TEST_F(ImgunpackTest, BodyChangedWhileItIsCopiedIsNotExtracted) {
    const Part big = {"app", testutil::RandomBytes(4 << 20, 3), {}};
    WriteBytes(P("fw.bin"), fragbytes::Physical(big));
    RunResult r;
    const size_t received = testutil::ReadFifoChangingInput(
        P("app"), [&] { r = Unpack("fw.bin"); }, [&] { testutil::FlipLastByte(P("fw.bin")); });
    EXPECT_EQ(r.out, "Fragment app not extracted: its data changed while it was read\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_LE(received, big.body.size());
}

TEST_F(ImgunpackTest, JsonReportListsEveryFragmentInFileOrder) {
    WriteBytes(P("fw.bin"), fragbytes::Physical(kParts[0]));
    Json j = Report("fw.bin", 0);
    EXPECT_EQ(j["schema"], 1);
    EXPECT_EQ(j["kind"], "physical");
    EXPECT_EQ(j["size"], 47 + 3000);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["messages"], Json::array());
    ASSERT_EQ(j["fragments"].size(), 1u);
    EXPECT_EQ(j["fragments"][0]["body_offset"], 47);
    EXPECT_EQ(j["fragments"][0]["body_crc"]["computed"], fragbytes::Crc16(kParts[0].body));
    EXPECT_FALSE(j.contains("logical"));

    const std::vector<Part> parts = {kParts[0], {"a\nb\xff\xfe", ToBytes("odd"), {}}, kParts[1]};
    WriteBytes(P("fw.bin"), LogicalOf(parts, 3));
    j = Report("fw.bin", 0);
    EXPECT_EQ(j["kind"], "logical");
    EXPECT_EQ(j["logical"]["count"], 3);
    EXPECT_EQ(j["logical"]["article"], 17);
    const char* const names[] = {"app.bin", "a\nb\uFFFD\uFFFD", "APPLICATION"};
    uint32_t offset = 49 + 47 + 45 + 51;
    for (size_t i = 0; i < 3; ++i) {
        const Json& f = j["fragments"][i];
        EXPECT_EQ(f["index"], i);
        EXPECT_EQ(f["name"], names[i]);
        EXPECT_EQ(f["type"], parts[i].meta.type);
        EXPECT_EQ(f["body_offset"], offset);
        EXPECT_EQ(f["ok"], true);
        offset += static_cast<uint32_t>(parts[i].body.size());
    }
    EXPECT_EQ(j["fragments"][1]["name_hex"], "610a62fffe");
}

// A damaged file: the report shows each fragment up to the first that fails, and
// the text lines name the fragment and the check.
TEST_F(ImgunpackTest, DamagedFilesAreExplained) {
    Bytes body = fragbytes::Physical(kParts[0]);
    body.back() ^= 1;
    Bytes header = fragbytes::Physical(kParts[0]);
    header[10] ^= 1;
    Bytes second = LogicalOf(kParts, 3);
    second[49 + 47 + 51 + 44 + 3000] ^= 1;  // first byte of the second body
    fragbytes::RepairFirstHeader(second);
    const auto crc = [](const char* what, uint16_t computed, uint16_t stored) {
        char text[100];
        std::snprintf(text, sizeof text, "%s CRC 0x%04X does not match the stored 0x%04X", what,
                      computed, stored);
        return std::string(text);
    };
    const std::string secondCrc = crc("data", fragbytes::Crc16(Bytes{'r', 'e', 'c', 'o', 'n', 'd'}),
                                      fragbytes::Crc16(kParts[1].body));
    const struct {
        Bytes file;
        const char* kind;
        std::vector<bool> fragmentsOk;
        std::string messages, problem, line;
    } cases[] = {
        {body,
         "physical",
         {false},
         "",
         crc("data", fragbytes::Crc16(Bytes(body.begin() + 47, body.end())),
             fragbytes::Crc16(kParts[0].body)),
         "Fragment app.bin: "},
        {header,
         "physical",
         {false},
         "Incorrect header CRC",
         "header CRC",
         "Fragment at offset 0: "},
        {second,
         "logical",
         {true, false},
         "Incomplete parsing of data file",
         secondCrc,
         "Fragment APPLICATION: "},
        {fragbytes::Physical({"x", {}, Typed(205)}),
         "invalid",
         {},
         "Firmware File invalid header found, with type 205, file size: 41",
         "",
         ""},
    };
    for (const auto& c : cases) {
        WriteBytes(P("fw.bin"), c.file);
        const Json j = Report("fw.bin", 1);
        EXPECT_EQ(j["kind"], c.kind);
        EXPECT_EQ(j["ok"], false);
        EXPECT_EQ(j["messages"].dump(), c.messages.empty() ? "[]" : "[\"" + c.messages + "\"]");
        ASSERT_EQ(j["fragments"].size(), c.fragmentsOk.size()) << c.kind;
        for (size_t i = 0; i < c.fragmentsOk.size(); ++i)
            EXPECT_EQ(j["fragments"][i]["ok"], c.fragmentsOk[i]) << c.kind << i;
        if (c.line.empty())
            continue;
        const std::string problem = j["fragments"].back()["problem"];
        EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << problem;
        EXPECT_NE(Unpack("-d fw.bin").out.find(c.line + problem + "\n"), std::string::npos);
    }
    // Extraction says what the listing says before its listing, and then extracts what
    // came before the damage; its own messages follow, a selection counts only that.
    for (const auto& c : cases) {
        WriteBytes(P("fw.bin"), c.file);
        const std::string listed = Unpack("-d fw.bin").out;
        const std::string said = listed.substr(0, listed.find(kSeparator));
        const RunResult r = Unpack("fw.bin");
        EXPECT_EQ(r.out, said) << c.kind;
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(OtherFiles("fw.bin"), c.fragmentsOk.size() == 2 ? "app.bin\n" : "") << c.kind;
        ASSERT_EQ(std::remove(P("app.bin").c_str()) == 0, c.fragmentsOk.size() == 2);
    }
    const std::vector<Part> unsafeFirst = {{"../x", ToBytes("x"), {}}, kParts[1], kParts[2]};
    Bytes damaged = LogicalOf(unsafeFirst, 3);
    damaged[49 + 44 + 51 + 44 + 1] ^= 1;  // first byte of the second body
    fragbytes::RepairFirstHeader(damaged);
    WriteBytes(P("fw.bin"), damaged);
    const std::string listed = Unpack("-d fw.bin").out;
    const std::string said = listed.substr(0, listed.find(kSeparator));
    EXPECT_EQ(Unpack("fw.bin").out,
              said + "Fragment ../x not extracted: the name holds a '..' component\n");
    const RunResult r = Unpack("-n boot fw.bin");
    EXPECT_EQ(r.out, said + "No fragment of firmware file fw.bin matches boot\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(OtherFiles("fw.bin"), "");
}

// Damaged logical data keep no fragment, as the parse says; the report still walks
// the physical headers and says which fragments are intact and which one fails.
TEST_F(ImgunpackTest, DamagedLogicalDataNameTheDamagedFragment) {
    Bytes file = LogicalOf(kParts, 3);
    file[49 + 47 + 51 + 44 + 3000] ^= 1;  // first byte of the second body
    WriteBytes(P("fw.bin"), file);
    const RunResult r = Unpack("-d fw.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("Logical CRC fragment check fail!\nLogical header all: data CRC ", 0), 0u);
    const std::string walk = r.out.substr(r.out.find("\nFragment") + 1);
    EXPECT_EQ(walk.rfind("Fragment app.bin: intact\nFragment APPLICATION: data CRC 0x", 0), 0u)
        << walk;
    EXPECT_NE(walk.find("\nNo valid fragment in firmware file fw.bin\n"), std::string::npos);
    const Json j = Report("fw.bin", 1);
    EXPECT_EQ(j["fragments"].size(), 0u);
    ASSERT_EQ(j["walked"].size(), 2u);
    EXPECT_EQ(j["walked"][0]["ok"], true);
    EXPECT_EQ(j["walked"][1]["name"], "APPLICATION");
    EXPECT_EQ(j["walked"][1]["ok"], false);
}

TEST_F(ImgunpackTest, IncompleteLogicalFileKeepsWhatItHoldsAndExits1) {
    WriteBytes(P("fw.bin"), LogicalOf({kParts[0], kParts[1]}, 3));  // announces one more
    RunResult r = Unpack("-d fw.bin");
    EXPECT_EQ(r.out.rfind("Incomplete parsing of data file\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(PartListing(kParts[1])), std::string::npos);
    EXPECT_EQ(r.status, 1);

    r = Unpack("fw.bin");
    EXPECT_EQ(r.out,
              "Incomplete parsing of data file\n"
              "Logical header all: announces 3 fragments, its data holds 2\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(ReadBytes(P("app.bin")), kParts[0].body);
    EXPECT_EQ(ReadBytes(P("APPLICATION")), kParts[1].body);
}

TEST_F(ImgunpackTest, FirmwareFileOf4GiBIsRefused) {
    // Sparse: a valid header at the front, nothing that large is ever read.
    WriteBytes(P("big.fw"), fragbytes::Physical(kParts[0]));
    ASSERT_EQ(std::system(("truncate -s 4294967296 " + P("big.fw")).c_str()), 0);
    const RunResult r = Unpack("big.fw");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("big.fw"), std::string::npos) << r.out;
    EXPECT_FALSE(Exists(P("app.bin")));
}

// The prefix is the working directory and "/", even for a directory path that
// fills the 256-byte buffer; a longer one falls back to relative names.
TEST_F(ImgunpackTest, LongWorkingDirectories) {
    WriteBytes(P("fw.bin"), fragbytes::Physical(kParts[1]));
    std::string deep = dir.Path();
    while (deep.size() + 101 < 255)
        deep += "/" + std::string(100, 'd');
    deep += "/" + std::string(255 - deep.size() - 1, 'e');
    ASSERT_EQ(deep.size(), 255u);
    for (const std::string& cwd : {deep, deep + "/f"}) {
        ASSERT_EQ(std::system(("mkdir -p " + cwd).c_str()), 0);
        const RunResult r = UnpackIn(cwd, P("fw.bin"));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(ReadBytes(cwd + "/APPLICATION"), kParts[1].body) << cwd.size();
    }
}

}  // namespace

#endif  // IMGUNPACK_PATH
