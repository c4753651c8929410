// End-to-end tests of fwkit: the subcommands run in a scratch directory beside the five
// programs they stand beside, checked by their files, streams and exit statuses.
#include <gtest/gtest.h>

#if defined(FWKIT_PATH) && defined(IMGPACK_PATH) && defined(PKGSTAMP_PATH)

#include <nlohmann/json.hpp>
#include <string>

#include "TestUtil.h"

namespace {

using testutil::Bytes;
using testutil::ReadBytes;
using testutil::RunResult;

class FwkitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testutil::WriteBytes(P("boot.bin"), testutil::RandomBytes(3000, 1));
        testutil::WriteBytes(P("kernel"), testutil::RandomBytes(9000, 2));
        testutil::WriteBytes(P("rootfs.ext4"), testutil::RandomBytes(70000, 3));
    }
    RunResult Fwkit(const std::string& args) {
        return testutil::Run(testutil::Quote(FWKIT_PATH) + " " + args, dir.Path());
    }
    // The same with redirections of its own, which the helper's own do not override.
    RunResult Piped(const std::string& args) {
        return testutil::Run("{ " + testutil::Quote(FWKIT_PATH) + " " + args + "; }", dir.Path());
    }
    RunResult Tool(const char* path, const std::string& args) {
        return testutil::Run(testutil::Quote(path) + " " + args, dir.Path());
    }
    std::string P(const std::string& name) const { return dir / name; }
    // The three physical files and their logical file, through fwkit alone.
    void PackAndJoin() {
        ASSERT_EQ(Fwkit("pack -t 401 --date 2024-03-14 boot.bin").status, 0);
        ASSERT_EQ(Fwkit("pack --type 400 --release 2 --version 3 --build 7 --date 2024-03-14 kernel")
                      .status, 0);
        ASSERT_EQ(Fwkit("pack -t 402 --date 2024-03-14 -o rootfs.fw rootfs.ext4").status, 0);
        ASSERT_EQ(Fwkit("join -t 300 -a 7 --date 2024-03-14 -o all.fw boot.bin.fw kernel.fw "
                        "rootfs.fw").status, 0);
    }
    testutil::TempDir dir;
};

TEST_F(FwkitTest, ReleasePipelineThroughFwkitAlone) {
    PackAndJoin();
    const RunResult list = Fwkit("list all.fw");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "    #  TYPE RELEASE       DATE            BYTES NAME\n"
                        "    -   300 0.0.1         2024-03-14      82145 all.fw\n"
                        "    0   401 0.0.1         2024-03-14       3000 boot.bin\n"
                        "    1   400 2.3.7         2024-03-14       9000 kernel\n"
                        "    2   402 0.0.1         2024-03-14      70000 rootfs.ext4\n");
    const RunResult stamp = Fwkit("stamp --json --version 2.4.1 -o all.pkg all.fw");
    ASSERT_EQ(stamp.status, 0);
    EXPECT_NE(testutil::ReadText(P("all.pkg")).find("\nversion: 33816577\n\n"), std::string::npos);
    const nlohmann::json stamped = nlohmann::json::parse(stamp.out);
    EXPECT_EQ(stamped["version"]["packed"], 33816577);
    EXPECT_EQ(stamped["filesize"], ReadBytes(P("all.fw")).size());
    EXPECT_EQ(stamped["schema"], 1);
    const nlohmann::json joined =
        nlohmann::json::parse(Fwkit("join -j -t 301 -o again.fw kernel.fw rootfs.fw").out);
    EXPECT_EQ(joined["schema"], 1);
    EXPECT_EQ(joined["size"], ReadBytes(P("again.fw")).size());
    EXPECT_EQ(joined["kind"], "logical");
    testutil::Run("mkdir out", dir.Path());
    const RunResult x = Fwkit("extract -C out all.fw");
    EXPECT_EQ(x.status, 0);
    EXPECT_EQ(x.out + x.err, "");
    for (const char* name : {"boot.bin", "kernel", "rootfs.ext4"})
        EXPECT_EQ(ReadBytes(P(std::string("out/") + name)), ReadBytes(P(name))) << name;
    EXPECT_EQ(Fwkit("extract -q -n ROOT -C out all.fw").status, 0);
    const RunResult some = Fwkit("extract --json -n k -C out all.fw");
    EXPECT_EQ(some.status, 0);
    EXPECT_EQ(nlohmann::json::parse(some.out),
              nlohmann::json::parse(R"({"schema": 1, "file": "all.fw", "directory": "out",
                  "ok": true, "extracted": [{"name": "kernel", "size": 9000}], "messages": []})"));
    const RunResult none = Fwkit("extract -j -C nope all.fw");
    EXPECT_EQ(none.status, 1);
    const RunResult key = Fwkit("keygen release");
    ASSERT_EQ(key.status, 0);
    ASSERT_EQ(key.out.size(), 17u);  // 16 hex digits and a line feed
    const std::string id = key.out.substr(0, 16);
    EXPECT_EQ(Fwkit("sign -k release.pem all.pkg").out, "all.pkg: signed with key " + id + "\n");
    const RunResult check = Fwkit("check -k release.pub -o image.bin all.pkg");
    EXPECT_EQ(check.status, 0);
    EXPECT_NE(check.out.find("all.pkg: signature verified, key " + id + "\nall.pkg: OK\n"),
              std::string::npos)
        << check.out;
    EXPECT_EQ(ReadBytes(P("image.bin")), ReadBytes(P("all.fw")));
}

TEST_F(FwkitTest, WritesTheBytesOfTheFivePrograms) {
    PackAndJoin();
    const char* const date = "-d 14 -m 3 -y 2024";
    Tool(IMGPACK_PATH, std::string("-t 401 -o boot.ref ") + date + " boot.bin");
    Tool(IMGPACK_PATH, std::string("-t 400 -r 2 -v 3 -b 7 -o kernel.ref ") + date + " kernel");
    Tool(IMGPACK_PATH, std::string("-p 3 -t 300 -a 7 -n all.fw -o all.ref ") + date +
                           " boot.bin.fw kernel.fw rootfs.fw");
    Tool(PKGSTAMP_PATH, "2 4 1 all.fw all.ref.pkg");
    Fwkit("stamp -v 2.4.1 -o all.pkg all.fw");
    // Hexadecimal values are the same numbers.
    Fwkit("pack -t 0x190 -r 0x2 -v 3 -b 0X7 --date 2024-03-14 -o hex.fw kernel");
    EXPECT_EQ(ReadBytes(P("hex.fw")), ReadBytes(P("kernel.fw")));
    EXPECT_EQ(ReadBytes(P("boot.bin.fw")), ReadBytes(P("boot.ref")));
    EXPECT_EQ(ReadBytes(P("kernel.fw")), ReadBytes(P("kernel.ref")));
    EXPECT_EQ(ReadBytes(P("all.fw")), ReadBytes(P("all.ref")));
    EXPECT_EQ(ReadBytes(P("all.pkg")), ReadBytes(P("all.ref.pkg")));
}

TEST_F(FwkitTest, RefusedValuesNameOptionValueAndRange) {
    const struct {
        const char* args;
        const char* said;
    } kRefused[] = {
        {"pack -t 4OO kernel", "fwkit: --type: '4OO' is not a physical type (206 to 209, or 400"},
        {"pack -t 300 kernel", "fwkit: --type: '300' is not a physical type"},
        {"pack -t 210 kernel", "fwkit: --type: '210' is not a physical type"},
        {"pack kernel", "fwkit pack: --type is required (206 to 209, or 400 to 65535)"},
        {"pack -t 400 -v 2.4.1 kernel", "fwkit: --version: '2.4.1' is not a number from 0 to 65535"},
        {"pack -t 400 -r 65536 kernel", "fwkit: --release: '65536' is not a number from 0 to 65535"},
        {"pack -t 400 -b -5 kernel", "fwkit: --build: '-5' is not a number from 0 to 4294967295"},
        {"pack -t 400 -b 4294967296 kernel", "fwkit: --build: '4294967296' is not a number"},
        {"pack -t 400 --date 2023-02-29 kernel", "fwkit: --date: '2023-02-29' is not a date"},
        {"pack -t 400 --date 99999-01-01 kernel", "fwkit: --date: '99999-01-01' is not a date"},
        {"pack -t 400 -n '' kernel", "fwkit: --name: '' is not a name of 1 to 255 bytes"},
        {"pack -t 400 kernel boot.bin", "fwkit pack: one data file only; 'boot.bin' is one too"},
        {"pack -t 400", "fwkit pack: no data file given"},
        {"pack -t 400 nope", "fwkit: nope: No such file or directory"},
        {"pack -t 400 -x kernel", "fwkit pack: unknown option: -x"},
        {"join -t 400 -o j.fw kernel", "fwkit: --type: '400' is not a number from 300 to 399"},
        {"join -t 300 kernel", "fwkit join: --output is required"},
        {"join -t 300 -o j.fw kernel", "fwkit: kernel: "},
        {"join -t 300 -a 4294967296 -o j.fw kernel", "fwkit: --article: '4294967296' is not a"},
        {"stamp -v 2.4 -o p kernel", "fwkit: --version: '2.4' is not a version MAJOR.MINOR.BUILD"},
        {"stamp -v 256.0.0 -o p kernel", "fwkit: --version: '256.0.0' is not a version"},
        {"stamp -v 0.0.0 -o p kernel", "fwkit: --version: '0.0.0' is no version"},
        {"stamp -v 1.0.0 kernel", "fwkit stamp: --output is required"},
        {"stamp -v 1.0.0 -o p kernel boot.bin", "fwkit stamp: one image only"},
        {"stamp -v 1.0.0 -f 'a b' -o p kernel", "fwkit: --filetype: 'a b' is not a name"},
        {"stamp -v 1.0.0 -f \"$(printf 'fw\\200')\" -o p kernel", "fwkit: --filetype: 'fw\x80' is not a"},
        {"extract kernel.fw boot.fw", "fwkit extract: one firmware file only"},
        {"list", "fwkit list: no firmware file given"},
        {"bogus", "fwkit: 'bogus' is not a subcommand"},
        {"help bogus", "fwkit: 'bogus' is not a subcommand"},
        {"help pack list", "fwkit: help: one subcommand only; 'list' is one too"},
        {"pack -t 0x190x kernel", "fwkit: --type: '0x190x' is not a physical type"},
        {"join -t 0x190 -o j.fw kernel", "fwkit: --type: '0x190' is not a number from 300 to 399"},
        {"sign kernel", "fwkit sign: no key given (-k KEY)"},
        {"sign -g k", "fwkit sign: unknown option: -g"},
        {"sign -k nope.pem kernel", "fwkit: nope.pem: No such file or directory"},
        {"sign -k k --expires soon kernel", "fwkit sign: --expires: 'soon' is not"},
        {"sign -k k --expires 2020-01-01T00:00:00Z kernel",
         "fwkit sign: --expires: 2020-01-01T00:00:00Z is in the past; --force signs it anyway\n"},
        {"sign -k kernel --pass-file nope kernel", "fwkit: nope: No such file or directory"},
        {"sign -k k -", "fwkit sign: a package is read twice to be signed; give its file"},
        {"sign -j -k k -o - kernel", "fwkit sign: --json and --output - would both write"},
        {"check", "fwkit check: no package given"},
        {"check --threshold 0 kernel", "fwkit check: --threshold: '0': at least one signature"},
        {"check --compatible '' kernel", "fwkit check: --compatible: '' names no board"},
        {"check --compatible=\"$(printf ' \\t')\" kernel", "fwkit check: --compatible: ' \t' names"},
        {"check --keyring '' kernel", "fwkit check: --keyring: '' names no file"},
        {"check -k ' ' kernel", "fwkit check: --key: ' ' names no file"},
        {"check -k nope.pub kernel boot.bin", "fwkit: nope.pub: No such file or directory"},
        {"check -o x kernel boot.bin", "fwkit check: -o IMAGE takes exactly one PACKAGE"},
        {"check - -", "fwkit check: standard input (-) can be read only once"},
        {"check --json -o - kernel", "fwkit check: --json and --output - would both write"},
        {"keygen", "fwkit keygen: give exactly one NAME or URI"},
        {"keygen -k kernel k", "fwkit keygen: unknown option: -k"},
        {"keygen kernel/k", "fwkit: kernel/k.pem: "},
    };
    for (const auto& c : kRefused) {
        const RunResult r = Fwkit(c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
        EXPECT_EQ(r.err.rfind(c.said, 0), 0u) << c.args << "\n" << r.err;
    }
    EXPECT_EQ(testutil::Run("ls", dir.Path()).out, "boot.bin\nkernel\nrootfs.ext4\n");
    RunResult r = testutil::Run("SOURCE_DATE_EPOCH=1e9 " + testutil::Quote(FWKIT_PATH) +
                                    " pack -t 400 kernel", dir.Path());
    EXPECT_EQ(r.err, "fwkit: SOURCE_DATE_EPOCH: '1e9' is not a number from 0 to 253402300799\n");
}

TEST_F(FwkitTest, StandardInputAndOutputAsDash) {
    PackAndJoin();
    EXPECT_EQ(Piped("pack -t 401 --date 2024-03-14 -n boot.bin -o in.fw - < boot.bin").status, 0);
    EXPECT_EQ(ReadBytes(P("in.fw")), ReadBytes(P("boot.bin.fw")));
    const RunResult out = Piped("pack -t 401 --date 2024-03-14 -o - boot.bin > out.fw");
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.err, "");
    EXPECT_EQ(ReadBytes(P("out.fw")), ReadBytes(P("boot.bin.fw")));
    EXPECT_EQ(Piped("stamp -v 1.2.3 -o - - < all.fw > piped.pkg").status, 0);
    EXPECT_EQ(Fwkit("stamp -v 1.2.3 -o file.pkg all.fw").status, 0);
    EXPECT_EQ(ReadBytes(P("piped.pkg")), ReadBytes(P("file.pkg")));
    EXPECT_EQ(Piped("list - < all.fw").status, 0);
    EXPECT_NE(Piped("pack -t 400 -o x.fw - < kernel").err.find("give --name and --output"),
              std::string::npos);
    EXPECT_EQ(Piped("join -t 300 -o j.fw - - < kernel.fw").err,
              "fwkit: -: standard input can be read only once\n");
}

TEST_F(FwkitTest, ListsSeveralFilesAsTextAndAsOneJsonDocument) {
    PackAndJoin();
    testutil::Run("cp all.fw bad.fw", dir.Path());
    testutil::FlipLastByte(P("bad.fw"));  // the last byte of rootfs.ext4
    const RunResult text = Fwkit("list kernel.fw bad.fw all.fw");
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(text.out.rfind("kernel.fw:\n", 0), 0u);
    EXPECT_NE(text.out.find("\nall.fw:\n"), std::string::npos);
    EXPECT_NE(text.err.find("fwkit: bad.fw: Fragment kernel: intact\n"
                            "fwkit: bad.fw: Fragment rootfs.ext4: data CRC 0x"),
              std::string::npos)
        << text.err;
    const RunResult json = Fwkit("list --json kernel.fw bad.fw nope");
    EXPECT_EQ(json.status, 1);
    const nlohmann::json doc = nlohmann::json::parse(json.out);
    ASSERT_EQ(doc.size(), 3u);
    EXPECT_EQ(doc[0]["ok"], true);
    EXPECT_EQ(doc[1]["walked"][2]["ok"], false);
    EXPECT_EQ(doc[2]["file"], "nope");
    EXPECT_EQ(Fwkit("list -q kernel.fw").out, "");
    // A name with a terminal's escape sequence in it is shown escaped, by pack as by list.
    const std::string named = "\"$(printf 'k\\033[2J.fw')\"";
    const RunResult packed = Fwkit("pack -t 400 --date 2024-03-14 -o " + named + " kernel");
    EXPECT_EQ(packed.status, 0) << packed.err;
    const RunResult listed = Fwkit("list " + named + " kernel.fw");
    for (const RunResult& r : {packed, listed}) {
        EXPECT_NE(r.out.find("k\\x1b[2J.fw"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
    }
}

// A package's header lines as stored, beside firmware listings; a header that does not
// read is refused as any file that is no firmware file.
TEST_F(FwkitTest, ListsPackageHeaderLinesAsStored) {
    PackAndJoin();
    ASSERT_EQ(Fwkit("stamp -v 1.0.0 -o a.pkg kernel").status, 0);
    ASSERT_EQ(Fwkit("delta -o c.pkg a.pkg").status, 0);
    // The lines as stored, the version shown as the command line gives it.
    const auto lines = [this](const char* name) {
        std::string text = testutil::ReadText(P(name));
        text = text.substr(0, text.find("\n\n") + 1);
        return text.replace(text.find("version: 16777216"), 17, "version: 1.0.0");
    };
    std::string broken = testutil::ReadText(P("a.pkg"));
    testutil::WriteText(P("bad.pkg"), broken.replace(broken.find("\nmd5: "), 5, "\nmd6:"));
    const std::string kernel = "kernel.fw:\n" + Fwkit("list kernel.fw").out;
    const struct {
        const char* args;
        std::string out;
    } kCases[] = {
        {"list a.pkg", lines("a.pkg")},
        {"list - < c.pkg", lines("c.pkg")},
        {"list kernel.fw c.pkg", kernel + "c.pkg:\n" + lines("c.pkg")},
        {"list a.pkg bad.pkg", "a.pkg:\n" + lines("a.pkg")},
    };
    for (const auto& c : kCases) {
        const RunResult r = Piped(c.args);
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.status, r.err.empty() ? 0 : 1) << c.args << "\n" << r.err;
    }
    EXPECT_NE(Piped("list a.pkg bad.pkg").err, "");
    EXPECT_EQ(lines("c.pkg").rfind("encoding: zstd\n", 0), 0u);
    const auto doc = nlohmann::ordered_json::parse(Fwkit("list --json kernel.fw c.pkg").out);
    ASSERT_EQ(doc.size(), 2u);
    EXPECT_EQ(doc[1]["package"], true);
    EXPECT_EQ(doc[1]["schema"], 1);
    std::string stored;
    for (const auto& [name, value] : doc[1]["lines"].items())
        stored += name + ": " +
                  (value.is_string() ? value.get<std::string>()
                   : value.is_number() ? value.dump()
                                       : value["text"].get<std::string>()) + "\n";
    EXPECT_EQ(stored, lines("c.pkg"));
    EXPECT_EQ(doc[1]["lines"]["version"]["packed"], 16777216);
}

TEST_F(FwkitTest, ChecksSeveralPackagesAndSignsAsPkgsignDoes) {
    ASSERT_EQ(Fwkit("stamp -v 1.0.0 -o a.pkg kernel").status, 0);
    ASSERT_EQ(Fwkit("keygen -q k").out, "");
    const RunResult piped = Piped("sign -k k.pem -o - a.pkg > piped.pkg");
    EXPECT_EQ(piped.status, 0);
    EXPECT_NE(piped.err.find(": signed with key"), std::string::npos);
#ifdef PKGSIGN_PATH
    Tool(PKGSIGN_PATH, "-k k.pem -o ref.pkg a.pkg");
    EXPECT_EQ(ReadBytes(P("piped.pkg")), ReadBytes(P("ref.pkg")));
#endif
    ASSERT_EQ(Fwkit("sign -q -k k.pem a.pkg").out, "");
    EXPECT_EQ(ReadBytes(P("a.pkg")), ReadBytes(P("piped.pkg")));
    testutil::Run("cp a.pkg bad.pkg", dir.Path());
    testutil::FlipLastByte(P("bad.pkg"));
    const RunResult text = Fwkit("check -k k.pub a.pkg bad.pkg");
    EXPECT_EQ(text.status, 3);
    EXPECT_NE(text.out.find("a.pkg: OK\nbad.pkg: header ok"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("bad.pkg: FAILED: "), std::string::npos);
    const RunResult json = Piped("check --json -k k.pub bad.pkg - nope < a.pkg");
    EXPECT_EQ(json.status, 3);
    EXPECT_EQ(json.err, "fwkit: nope: No such file or directory\n");
    const nlohmann::json docs = nlohmann::json::parse(json.out);
    ASSERT_EQ(docs.size(), 3u);
    EXPECT_EQ(docs[0]["status"], 3);
    EXPECT_EQ(docs[1]["file"], "-");
    EXPECT_EQ(docs[1]["ok"], true);
    EXPECT_EQ(docs[2]["file"], "nope");
    const RunResult quiet = Fwkit("check -q nope bad.pkg a.pkg");
    EXPECT_EQ(quiet.status, 3);
    EXPECT_EQ(quiet.out + quiet.err, "fwkit: nope: No such file or directory\n");
    EXPECT_EQ(Piped("check -o - a.pkg > image.bin").status, 0);
    EXPECT_EQ(ReadBytes(P("image.bin")), ReadBytes(P("kernel")));
    const nlohmann::json made = nlohmann::json::parse(Fwkit("keygen --json j").out);
    EXPECT_EQ(made["public"], "j.pub");
    const nlohmann::json both = nlohmann::json::parse(Fwkit("sign -j -k j.pem -k k.pem a.pkg").out);
    EXPECT_EQ(both["output"], "a.pkg");
    ASSERT_EQ(both["key_ids"].size(), 2u);
    EXPECT_EQ(both["key_ids"][0], made["key_id"]);
    // Without a key the signature is said to be not checked; required, that refuses.
    const struct {
        const char* args;
        int status;
        const char* said;
    } kUnchecked[] = {
        {"check a.pkg", 0, "a.pkg: signature not checked: no key given, key "},
        {"check kernel.pkg", 0, "kernel.pkg: signature not checked: no key given\nkernel.pkg: OK\n"},
        {"check --require-signature -o x.bin a.pkg", 5,
         "a.pkg: FAILED: signature not checked: no key given\n"},
        {"check --require-signature -k k.pub a.pkg", 0, "a.pkg: signature verified by 1 of"},
    };
    ASSERT_EQ(Fwkit("stamp -v 1.0.0 -o kernel.pkg kernel").status, 0);
    for (const auto& c : kUnchecked) {
        const RunResult r = Fwkit(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << c.args << "\n" << r.out;
    }
    EXPECT_EQ(testutil::Run("test -e x.bin", dir.Path()).status, 1);
    // One shape: header lines an object, as fwkit list --json gives them.
    const nlohmann::json refused =
        nlohmann::json::parse(Fwkit("check -j --require-signature a.pkg").out)[0];
    EXPECT_EQ(refused["status"], 5);
    EXPECT_EQ(refused["verdict"], "signature not checked: no key given");
    EXPECT_EQ(refused["signature"]["checked"], false);
    EXPECT_EQ(refused["headers"]["version"]["text"], "1.0.0");
    EXPECT_EQ(refused["headers"]["filesize"], ReadBytes(P("kernel")).size());
    const RunResult delta = Fwkit("delta -j -o kernel.z.pkg kernel.pkg");
    ASSERT_EQ(delta.status, 0);
    const nlohmann::json made_delta = nlohmann::json::parse(delta.out);
    EXPECT_EQ(made_delta["schema"], 1);
    EXPECT_EQ(made_delta["size"], ReadBytes(P("kernel.z.pkg")).size());
    EXPECT_EQ(made_delta["lines"]["target-filesize"], ReadBytes(P("kernel")).size());
    EXPECT_EQ(made_delta["lines"]["encoding"], "zstd");
}

TEST_F(FwkitTest, SourceDateEpochMakesPacksReproducible) {
    const std::string env = "SOURCE_DATE_EPOCH=1710374400 ";  // 2024-03-14T00:00:00Z
    const std::string pack = testutil::Quote(FWKIT_PATH) + " pack -t 400 -o ";
    testutil::Run(env + pack + "one.fw kernel", dir.Path());
    testutil::Run("sleep 1.1; touch kernel", dir.Path());
    testutil::Run(env + pack + "two.fw kernel", dir.Path());
    EXPECT_EQ(ReadBytes(P("one.fw")), ReadBytes(P("two.fw")));
    Tool(IMGPACK_PATH, "-t 400 -d 14 -m 3 -y 2024 -o ref.fw kernel");
    EXPECT_EQ(ReadBytes(P("one.fw")), ReadBytes(P("ref.fw")));
}

// Reading standard input that pauses makes the work last more than a second. A
// terminal never gets a firmware file on standard output either.
TEST_F(FwkitTest, ProgressIsDrawnOnATerminalOnly) {
    const RunResult binary = testutil::Run(
        "script -qec " + testutil::Quote(testutil::Quote(FWKIT_PATH) + " pack -t 400 -o - kernel") +
            " /dev/null", dir.Path());
    EXPECT_EQ(binary.status, 1);
    EXPECT_NE(binary.out.find("fwkit: -: standard output is a terminal"), std::string::npos);
    const std::string stamp = "(head -c 1048576 /dev/zero; sleep 1.6) | " +
                              testutil::Quote(FWKIT_PATH) + " stamp -v 1.0.0 -o p.pkg";
    const auto run = [&](const std::string& options) {
        return testutil::Run("{ " + stamp + options + " -; }", dir.Path());
    };
    const RunResult pty = testutil::Run("script -qec " + testutil::Quote(stamp + " -") +
                                        " /dev/null", dir.Path());
    EXPECT_EQ(pty.status, 0);
    EXPECT_NE(pty.out.find("\rstamp: 1.0 MiB"), std::string::npos) << pty.out;
    EXPECT_EQ(pty.out.substr(pty.out.size() - 4), "\r\033[K") << pty.out;
    // Output begun on either stream erases the line first, once, and for good.
    const RunResult glued = testutil::Run(
        "script -qec " + testutil::Quote(stamp + " -j - && " + testutil::Quote(FWKIT_PATH) +
                                         " list --progress nope") + " /dev/null", dir.Path());
    const size_t erased = glued.out.find("\r\033[K{\r\n  \"schema\": 1,");
    EXPECT_NE(erased, std::string::npos) << glued.out;
    EXPECT_EQ(glued.out.find("\r\033[K", erased + 1), std::string::npos) << glued.out;
    EXPECT_EQ(glued.out.find("MiB", erased), std::string::npos) << glued.out;
    const RunResult none = run("");
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(none.err, "");
    const RunResult forced = run(" --progress");
    EXPECT_NE(forced.err.find("stamp: 1.0 MiB"), std::string::npos);
    const RunResult check = testutil::Run("{ (cat p.pkg; sleep 1.6) | " +
                                              testutil::Quote(FWKIT_PATH) + " check --progress -q -; }",
                                          dir.Path());
    EXPECT_EQ(check.status, 0);
    EXPECT_NE(check.err.find("\rcheck: 1.0 MiB"), std::string::npos) << check.err;
}

TEST_F(FwkitTest, HelpVersionAndCompletion) {
    for (const char* args : {"--help", "pack --help", "join --help", "list --help",
                             "extract --help", "stamp --help", "sign --help", "check --help",
                             "keygen --help"}) {
        const RunResult r = Fwkit(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out.rfind("Usage: fwkit", 0), 0u) << args;
    }
    // "fwkit help SUBCOMMAND" is "fwkit SUBCOMMAND --help", word for word.
    for (const char* name : {"pack", "list", "check", "delta", "install"}) {
        const RunResult help = Fwkit(std::string("help ") + name);
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.out, Fwkit(std::string(name) + " --help").out) << name;
    }
    EXPECT_EQ(Fwkit("help").status, 0);
    EXPECT_NE(Fwkit("help").out.find("\n  help "), std::string::npos);
    EXPECT_EQ(Fwkit("--version").out, std::string("fwkit ") + FWKIT_VERSION + "\n");
    EXPECT_EQ(Fwkit("-V").out, std::string("fwkit ") + FWKIT_VERSION + "\n");
    const std::string bash = std::string(SOURCE_DIR) + "/cli/completion/fwkit.bash";
    EXPECT_EQ(testutil::Run("bash -c " + testutil::Quote("source " + bash + "; complete -p fwkit"),
                            "/").out,
              "complete -F _fwkit fwkit\n");
    // Names with blanks come whole, however the word is quoted; directories end in "/".
    testutil::Run("mkdir 'my dir' && touch 'my file.pkg'", dir.Path());
    const struct {
        const char* words;
        const char* offered;
    } kCompletions[] = {
        // The words as typed: a backslash, a double quote, a single quote.
        {"check my", "<my dir/>\n<my file.pkg>\n"}, {R"(check 'my\ f')", "<my file.pkg>\n"},
        {R"(check '"my d')", "<my dir/>\n"},      {R"(list "'my f")", "<my file.pkg>\n"},
        {"extract -C m", "<my dir/>\n"},          {"help ch", "<check>\n"},
    };
    for (const auto& c : kCompletions) {
        const std::string script = "source " + bash + "; COMP_WORDS=(fwkit " + c.words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _fwkit; "
                                   R"(printf '<%s>\n' "${COMPREPLY[@]}" | sort)";
        EXPECT_EQ(testutil::Run("bash -c " + testutil::Quote(script), dir.Path()).out, c.offered)
            << c.words;
    }
    const std::string zsh = std::string(SOURCE_DIR) + "/cli/completion/_fwkit";
    if (testutil::Run("command -v zsh", "/").status == 0) {
        const RunResult z = testutil::Run(
            "zsh -fc " + testutil::Quote("autoload -Uz compinit && compinit -u && source " + zsh +
                                         " && print ${_comps[fwkit]}"),
            "/");
        EXPECT_EQ(z.out, "_fwkit\n") << z.err;
    }
}

// Without their module, its subcommands say so, make nothing, and exit 1.
TEST_F(FwkitTest, ModuleSubcommandsWithoutTheirModule) {
    const std::string module = P("missing") + "/fwkit-package.so";
    for (const std::string name : {"stamp", "sign", "check", "keygen"}) {
        const RunResult r = testutil::Run("FWKIT_PACKAGE_MODULE=" + testutil::Quote(module) + " " +
                                              testutil::Quote(FWKIT_PATH) + " " + name +
                                              " -v 1.0.0 -o p.pkg kernel",
                                          dir.Path());
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err.rfind("fwkit: " + name + ": cannot load its module (" + module + ": ", 0),
                  0u) << r.err;
    }
    EXPECT_EQ(testutil::Run("ls", dir.Path()).out, "boot.bin\nkernel\nrootfs.ext4\n");
    // The package module alone, without the network module beside it: a URL is
    // refused saying why, not read as a file name.
    testutil::TempDir lone;
    ASSERT_EQ(testutil::Run("cp " + testutil::Quote(FWKIT_MODULE_PATH) + " .", lone.Path())
                  .status,
              0);
    const RunResult r = testutil::Run("FWKIT_PACKAGE_MODULE=" +
                                          testutil::Quote(lone / "fwkit-package.so") + " " +
                                          testutil::Quote(FWKIT_PATH) + " check http://127.0.0.1:9/p.pkg",
                                      dir.Path());
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("http://127.0.0.1:9/p.pkg: cannot load the network module ("),
              std::string::npos)
        << r.err;
}

// A bill of materials signed beside the package: refused unless it is a document of a
// known format with a subject, kept byte for byte, reported by check, extracted by
// sbom, and any change to it after signing refused.
TEST_F(FwkitTest, BillOfMaterialsIsSignedBesideThePackage) {
    ASSERT_EQ(Fwkit("stamp -v 1.0.0 -o a.pkg kernel").status, 0);
    ASSERT_EQ(Fwkit("keygen -q k").status, 0);
    const std::string cyclonedx = R"({"bomFormat": "CycloneDX", "specVersion": "1.6",
        "metadata": {"component": {"name": "board-x", "version": "2.4.1"}},
        "components": [{"name": "a"}, {"name": "b"}]})";
    struct Refused {
        const char* document;
        const char* reason;
    } const kRefused[] = {
        {"{\"bomFormat\": ", "not well-formed JSON"},
        {R"({"bomFormat": "CycloneDX", "specVersion": "1.3"})", "none of 1.4, 1.5 and 1.6"},
        {R"({"bomFormat": "CycloneDX", "specVersion": "1.5"})", "names no subject"},
        {R"({"spdxVersion": "SPDX-2.2", "name": "x"})", "is not SPDX-2.3"},
        {R"(["bomFormat"])", "not a JSON object"},
        {"{}", "neither CycloneDX"},
    };
    for (const Refused& refused : kRefused) {
        testutil::WriteText(P("bad.json"), refused.document);
        const RunResult sign = Fwkit("sign -k k.pem --sbom bad.json -o b.pkg a.pkg");
        EXPECT_EQ(sign.status, 1) << refused.document;
        EXPECT_EQ(sign.err.rfind("fwkit: bad.json: not a bill of materials fwkit carries: ", 0), 0u);
        EXPECT_NE(sign.err.find(refused.reason), std::string::npos) << sign.err;
        EXPECT_FALSE(testutil::Exists(P("b.pkg")));
    }
    EXPECT_EQ(Fwkit("sign -k k.pem --sbom bad.json -o - a.pkg").status, 1);  // no --sbom-out

    testutil::WriteText(P("bom.json"), cyclonedx);
    const RunResult sign = Fwkit("sign -k k.pem --sbom bom.json -o s.pkg a.pkg");
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_NE(sign.out.find("s.pkg.sbom: cyclonedx-1.6 of board-x 2.4.1, 2 components\n"),
              std::string::npos);
    EXPECT_EQ(testutil::ReadText(P("s.pkg.sbom")), cyclonedx);
    EXPECT_NE(testutil::ReadText(P("s.pkg")).find("\nsbom-format: cyclonedx-1.6\n"),
              std::string::npos);
    const nlohmann::json checked = nlohmann::json::parse(Fwkit("check -j -k k.pub s.pkg").out);
    EXPECT_EQ(checked[0]["sbom"], nlohmann::json::parse(R"({"format": "cyclonedx-1.6",
        "checked": true, "subject": {"name": "board-x", "version": "2.4.1"}, "components": 2,
        "problem": null})"));
    EXPECT_EQ(Fwkit("sbom -k k.pub s.pkg").out, cyclonedx);
    // A package without one reads as before.
    EXPECT_EQ(Fwkit("check -k k.pub a.pkg").out.find("sbom"), std::string::npos);
    EXPECT_FALSE(nlohmann::json::parse(Fwkit("check -j a.pkg").out)[0].contains("sbom"));
    EXPECT_EQ(Fwkit("sbom a.pkg").status, 1);

    testutil::WriteText(P("s.pkg.sbom"), cyclonedx + " ");
    const RunResult changed = Fwkit("check -k k.pub -o image.bin s.pkg");
    EXPECT_EQ(changed.status, 4);
    EXPECT_NE(changed.out.find("s.pkg: sbom FAILED: sbom: "), std::string::npos) << changed.out;
    EXPECT_FALSE(testutil::Exists(P("image.bin")));
    EXPECT_EQ(Fwkit("sbom -k k.pub s.pkg").status, 4);
    testutil::Run("rm s.pkg.sbom", dir.Path());
    const RunResult missing = Fwkit("check s.pkg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("fwkit: s.pkg.sbom: cannot be opened: "), std::string::npos);
    // The document given with --sbom: instead of the one beside, and for standard input.
    testutil::WriteText(P("changed.json"), cyclonedx + " ");
    struct Given {
        const char* args;
        int status;
        const char* says;
    } const kGiven[] = {
        {"check --sbom bom.json s.pkg", 0, "s.pkg: sbom ok: cyclonedx-1.6, board-x 2.4.1"},
        {"check --sbom bom.json - < s.pkg", 0, "-: sbom ok: "},
        {"check - < s.pkg", 0, "-: sbom not checked: "},
        {"check --sbom changed.json - < s.pkg", 4, "-: sbom FAILED: "},
        {"check --sbom none.json - < s.pkg", 1, "fwkit: none.json: cannot be opened: "},
        {"check --sbom bom.json s.pkg a.pkg", 1, "--sbom FILE takes exactly one PACKAGE"},
    };
    for (const Given& given : kGiven) {
        const RunResult run = Piped(given.args);
        EXPECT_EQ(run.status, given.status) << given.args << run.err;
        EXPECT_NE((run.out + run.err).find(given.says), std::string::npos)
            << given.args << run.out << run.err;
    }

    // SPDX: the described package is the subject, the other packages its components.
    testutil::WriteText(P("spdx.json"), R"({"spdxVersion": "SPDX-2.3", "name": "doc",
        "documentDescribes": ["SPDXRef-fw"], "packages": [{"SPDXID": "SPDXRef-lib",
        "name": "lib"}, {"SPDXID": "SPDXRef-fw", "name": "fw", "versionInfo": "3"}]})");
    ASSERT_EQ(Piped("sign -q -k k.pem --sbom spdx.json --sbom-out x.sbom -o - a.pkg > x.pkg")
                  .status, 0);
    testutil::Run("mv x.sbom x.pkg.sbom", dir.Path());
#ifdef PKGCHECK_PATH
    const nlohmann::json spdx = nlohmann::json::parse(Tool(PKGCHECK_PATH, "-j x.pkg").out);
    EXPECT_EQ(spdx["sbom"]["format"], "spdx-2.3");
    EXPECT_EQ(spdx["sbom"]["subject"]["name"], "fw");
    EXPECT_EQ(spdx["sbom"]["components"], 1);
#endif
}

}  // namespace

#endif
