// Faults on the way out: an output on a full disk, a disk that fills up while
// the output is written, and an output in a directory that cannot hold it.
// Every command must then say which file it could not write, exit with
// status 1, and leave no partial file behind (an older file of that name
// stays as it was).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestUtil.h"

#if defined(IMGPACK_PATH) && defined(IMGUNPACK_PATH) && defined(PKGSTAMP_PATH)

namespace {

using testutil::Quote;
using testutil::RunResult;

// Writes of more than this many bytes fail inside the limited runs below
// (ulimit -f counts blocks of 512 bytes).
const char* const kFileLimit = "trap '' XFSZ; ulimit -f 16; ";
const size_t kLargeBody = 64 * 1024;

class HostileOutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testutil::WriteBytes(P("data.bin"), testutil::RandomBytes(kLargeBody, 7));
        testutil::WriteText(P("plain"), "a regular file, not a directory");
        testutil::WriteText(P("old.out"), "older output");
        ASSERT_EQ(Pack("-t 400 -n app -o app.fw data.bin").status, 0);
        for (const char* name : {"plain/app", "missing/app"})
            ASSERT_EQ(Pack(std::string("-t 400 -n ") + name + " -o " + Stem(name) + ".fw data.bin")
                          .status,
                      0);
        m_before = Entries();
    }

    static std::string Stem(const std::string& name) { return name.substr(0, name.find('/')); }
    std::string P(const std::string& name) const { return dir / name; }

    RunResult Pack(const std::string& args, const std::string& limit = "") {
        return testutil::Run(limit + Quote(IMGPACK_PATH) + " " + args, dir.Path());
    }
    RunResult Unpack(const std::string& args, const std::string& limit = "") {
        return testutil::Run(limit + Quote(IMGUNPACK_PATH) + " " + args, dir.Path());
    }
    RunResult Stamp(const std::string& args, const std::string& limit = "") {
        return testutil::Run(limit + Quote(PKGSTAMP_PATH) + " " + args, dir.Path());
    }

    // The names in the scratch directory, temporary files included.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The run failed with status 1, named `path` in its message on `stream`,
    // and left the directory as it found it.
    void ExpectRefused(const RunResult& r, const std::string& stream, const std::string& path,
                       const std::string& what) {
        EXPECT_EQ(r.status, 1) << what << "\n" << r.out << r.err;
        EXPECT_NE(stream.find(path), std::string::npos) << what << ": " << stream;
        EXPECT_EQ(Entries(), m_before) << what;
        EXPECT_EQ(testutil::ReadText(P("old.out")), "older output") << what;
    }

    testutil::TempDir dir;
    std::vector<std::string> m_before;
};

TEST_F(HostileOutputTest, FullDiskIsReportedByEveryCommand) {
    RunResult r = Pack("-t 400 -o /dev/full data.bin");
    ExpectRefused(r, r.out, "/dev/full", "physical build");
    r = Pack("-p 1 -t 300 -o /dev/full app.fw");
    ExpectRefused(r, r.out, "/dev/full", "logical build");
    r = Stamp("1 data.bin /dev/full");
    ExpectRefused(r, r.err, "/dev/full", "package");
}

TEST_F(HostileOutputTest, DiskFillingUpWhileWritingLeavesNoPartialFile) {
    RunResult r = Pack("-t 400 -o old.out data.bin", kFileLimit);
    ExpectRefused(r, r.out, "old.out", "physical build");
    r = Pack("-p 1 -t 300 -o old.out app.fw", kFileLimit);
    ExpectRefused(r, r.out, "old.out", "logical build");
    r = Stamp("1 data.bin old.out", kFileLimit);
    ExpectRefused(r, r.err, "old.out", "package");
    r = Unpack("app.fw", kFileLimit);
    ExpectRefused(r, r.out, P("app"), "extraction");

    // The same runs without the limit write their files: the limit alone failed them.
    EXPECT_EQ(Stamp("1 data.bin old.out").status, 0);
    EXPECT_EQ(Unpack("app.fw").status, 0);
    EXPECT_EQ(testutil::ReadBytes(P("app")), testutil::ReadBytes(P("data.bin")));
}

TEST_F(HostileOutputTest, OutputInADirectoryThatCannotHoldItIsReported) {
    for (const std::string parent : {"plain", "missing"}) {
        const std::string out = parent + "/out";
        RunResult r = Pack("-t 400 -o " + out + " data.bin");
        ExpectRefused(r, r.out, out, "physical build into " + parent);
        r = Pack("-p 1 -t 300 -o " + out + " app.fw");
        ExpectRefused(r, r.out, out, "logical build into " + parent);
        r = Stamp("1 data.bin " + out);
        EXPECT_NE(r.err.find("unable to open output file"), std::string::npos) << r.err;
        ExpectRefused(r, r.err, "", "package into " + parent);
        r = Unpack(parent + ".fw");
        ExpectRefused(r, r.out, P(parent + "/app"), "extraction into " + parent);
    }
    // An output that names a directory is not replaced by a file.
    RunResult r = Pack("-t 400 -o " + Quote(dir.Path()) + " data.bin");
    ExpectRefused(r, r.out, dir.Path(), "physical build onto a directory");
}

}  // namespace

#endif
