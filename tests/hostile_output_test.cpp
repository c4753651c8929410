// Faults on the way out: an output on a full disk, a disk that fills up while
// the output is written, and an output in a directory that cannot hold it.
// Every command must then say which file it could not write, exit with
// status 1, and leave no partial file behind (an older file of that name
// stays as it was). Then outputs that are not plain new files: descriptors,
// FIFOs, names of 255 bytes, files in read-only directories, and runs
// interrupted by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "Output.h"
#include "TestUtil.h"

#if defined(IMGPACK_PATH) && defined(IMGUNPACK_PATH) && defined(PKGSTAMP_PATH) && \
    defined(PKGSIGN_PATH) && defined(PKGCHECK_PATH)

namespace {

using testutil::Quote;
using testutil::RunResult;

// Writes of more than this many bytes fail inside the limited runs below
// (ulimit -f counts blocks of 512 bytes).
const char* const kFileLimit = "trap '' XFSZ; ulimit -f 16; ";
const size_t kLargeBody = 64 * 1024;

// The directory of the programs, for a command that names them.
std::string BuildDir() {
    const std::string path = IMGPACK_PATH;
    return path.substr(0, path.rfind('/'));
}

// Each program writing one output, OUT standing for its path.
const char* const kWriters[] = {"imgpack -t 400 -o OUT data.bin",
                                "imgpack -p 1 -t 300 -o OUT app.fw", "pkgstamp 1 data.bin OUT"};

std::string Command(const std::string& writer, const std::string& out) {
    const std::string::size_type space = writer.find(' ');
    std::string args = writer.substr(space);
    args.replace(args.find("OUT"), 3, out);
    return Quote(writer.compare(0, space, "imgpack") == 0 ? IMGPACK_PATH : PKGSTAMP_PATH) +
           args;
}

// Starts `args` with the stopping signals at their defaults and unblocked,
// whatever this test inherited.
pid_t Start(const std::vector<std::string>& args) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// True once `pid` holds a file of `dir` other than `input` open for writing:
// its output's temporary file exists from then on.
bool Writing(pid_t pid, const std::string& dir, const std::string& input) {
    const std::string proc = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc, ec)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (target.rfind(dir + "/", 0) == 0 && target != input)
            return true;
    }
    return false;
}

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
        return testutil::Run(limit + Quote(IMGPACK_PATH) + " " + args,
                             dir.Path());
    }
    RunResult Unpack(const std::string& args, const std::string& limit = "") {
        return testutil::Run(limit + Quote(IMGUNPACK_PATH) + " " + args,
                             dir.Path());
    }
    RunResult Stamp(const std::string& args, const std::string& limit = "") {
        return testutil::Run(limit + Quote(PKGSTAMP_PATH) + " " + args,
                             dir.Path());
    }
    RunResult Shell(const std::string& command) { return testutil::Run(command, dir.Path()); }
    // The bytes `writer` puts into a new plain file.
    testutil::Bytes Reference(const std::string& writer) {
        EXPECT_EQ(Shell(Command(writer, "ref")).status, 0) << writer;
        const testutil::Bytes bytes = testutil::ReadBytes(P("ref"));
        unlink(P("ref").c_str());
        return bytes;
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
    r = Shell("{ " + Quote(PKGSTAMP_PATH) +
              " 1 data.bin /dev/stdout > /dev/full; }");
    EXPECT_EQ(r.err,
              "pkgstamp: argc: 4\n"
              "pkgstamp: cannot write package /dev/stdout: No space left on device\n");
    ExpectRefused(r, r.err, "/dev/stdout", "package on standard output");
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

TEST_F(HostileOutputTest, DescriptorsAndFifosReceiveExactlyTheOutput) {
    ASSERT_EQ(mkfifo(P("p.fw").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/proc/self/fd/1", P("to-stdout").c_str()), 0);
    for (const char* writer : kWriters) {
        const testutil::Bytes expected = Reference(writer);
        testutil::WriteText(P("log"), "kept\n");
        RunResult r = Shell("{ " + Command(writer, "/dev/stdout") + " >> log; }");
        EXPECT_EQ(r.status, 0) << writer << r.err;
        EXPECT_NE(r.err, "") << writer;
        testutil::Bytes appended = testutil::ToBytes("kept\n");
        appended.insert(appended.end(), expected.begin(), expected.end());
        EXPECT_EQ(testutil::ReadBytes(P("log")), appended) << writer;
        r = Shell("{ " + Command(writer, "to-stdout") + " | cat; }");
        EXPECT_EQ(testutil::ToBytes(r.out), expected) << writer;
        r = Shell("{ cat p.fw > got & } && " + Command(writer, "p.fw") + " && wait");
        EXPECT_EQ(r.status, 0) << writer;
        EXPECT_EQ(testutil::ReadBytes(P("got")), expected) << writer;
    }
}

TEST_F(HostileOutputTest, OutputNamesOf255BytesAreWritten) {
    ASSERT_EQ(mkdir(P("sub").c_str(), 0755), 0);
    for (const char* writer : kWriters) {
        const testutil::Bytes expected = Reference(writer);
        for (const std::string& out : {std::string(255, 'n'), "sub/" + std::string(255, 's')}) {
            EXPECT_EQ(Shell(Command(writer, out)).status, 0) << writer;
            EXPECT_EQ(testutil::ReadBytes(P(out)), expected) << writer;
            unlink(P(out).c_str());
        }
    }
}

// Where no file can be made beside a writable target, a build writes it in place;
// a writer that would put bytes there before they are verified (a check's image, a
// signed package, an extracted fragment) refuses before writing anything, forged
// package or not.
TEST_F(HostileOutputTest, WritableFileInAReadOnlyDirectoryIsWrittenInPlaceOnlyByABuild) {
    if (geteuid() != 0)
        GTEST_SKIP() << "runs the programs as nobody, which needs root";
    const std::string nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
    ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
    ASSERT_EQ(mkdir(P("ro").c_str(), 0755), 0);
    for (const char* name : {"ro/out", "ro/app"}) {
        testutil::WriteText(P(name), "old");
        ASSERT_EQ(chmod(P(name).c_str(), 0666), 0);
    }
    for (const char* writer : kWriters) {
        const testutil::Bytes expected = Reference(writer);
        EXPECT_EQ(Shell(nobody + Command(writer, "ro/out")).status, 0) << writer;
        EXPECT_EQ(testutil::ReadBytes(P("ro/out")), expected) << writer;
    }
    testutil::WriteText(P("ro/out"), "old");
    ASSERT_EQ(Shell(Quote(PKGSIGN_PATH) + " -g k && chmod 644 k.pem && " + Quote(PKGSTAMP_PATH) +
                    " 1 data.bin p.pkg")
                  .status,
              0);
    const std::string beside = ": cannot write beside it (Permission denied); nothing was written";
    const std::pair<std::string, std::string> refusals[] = {
        {"pkgcheck -o ro/out p.pkg", "pkgcheck: ro/out" + beside},
        {"pkgsign -k k.pem -o ro/out p.pkg", "pkgsign: ro/out" + beside},
        {"imgunpack -C ro app.fw", "Unable to write fragment file ro/app" + beside}};
    for (const auto& [command, message] : refusals) {
        const RunResult r = Shell("PATH=" + Quote(BuildDir()) + ":$PATH; " + nobody + command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_NE((r.err + r.out).find(message + "\n"), std::string::npos) << r.err << r.out;
    }
    EXPECT_EQ(testutil::ReadText(P("ro/out")), "old");
    EXPECT_EQ(testutil::ReadText(P("ro/app")), "old");
    EXPECT_EQ(Shell("ls -A ro").out, "app\nout\n");
}

TEST_F(HostileOutputTest, InterruptedWritesLeaveNoTemporaryFile) {
    ASSERT_EQ(Shell("truncate -s 1G big").status, 0);
    const std::vector<std::string> before = Entries();
    const std::vector<std::string> runs[] = {{IMGPACK_PATH, "-t", "400", "-o", P("out"), P("big")},
                                             {PKGSTAMP_PATH, "1", P("big"), P("out")}};
    for (const int sig : {SIGTERM, SIGINT}) {
        for (const std::vector<std::string>& run : runs) {
            const pid_t pid = Start(run);
            ASSERT_GT(pid, 0);
            for (int i = 0; i < 6000 && !Writing(pid, dir.Path(), P("big")); ++i)
                usleep(5000);
            kill(pid, sig);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << run[0] << " " << sig;
            EXPECT_EQ(Entries(), before) << run[0] << " " << sig;
        }
    }
}

// An extraction output is held in memory and its target looked at when it is committed:
// a new one appears only complete, in one step, and one discarded never appears; a link
// planted at its name meanwhile is replaced, never followed; an existing file is
// replaced and keeps its mode, a directory is refused, the spared file is left alone; one
// that outgrows memory is written to a temporary file instead.
TEST(HeldOutput, TargetsAreLookedAtWhenCommitted) {
    testutil::TempDir dir;
    const int dirfd = open(dir.Path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirfd, 0);
    testutil::WriteText(dir / "victim", "untouched");
    struct stat spared {};
    ASSERT_EQ(stat((dir / "victim").c_str(), &spared), 0);
    const mode_t mask = umask(0);
    umask(mask);
    enum class There { Nothing, LinkPlanted, File0640, Directory, Spared };
    const struct {
        const char* name;
        size_t size;
        There there;
        bool commit, done;
    } cases[] = {{"small", 10, There::Nothing, true, true},
                 {"limit", 64 << 10, There::Nothing, true, true},
                 {"large", (64 << 10) + 1, There::Nothing, true, true},
                 {"raced", 10, There::LinkPlanted, true, true},
                 {"dropped", 10, There::Nothing, false, false},
                 {"old", 10, There::File0640, true, true},
                 {"dir", 10, There::Directory, true, false},
                 {"victim", 10, There::Spared, true, false}};
    for (const auto& c : cases) {
        const std::string path = dir / c.name;
        if (c.there == There::File0640) {
            testutil::WriteText(path, "old");
            ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        }
        if (c.there == There::Directory) {
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
        }
        const testutil::Bytes bytes = testutil::RandomBytes(c.size, 2);
        Core::File::Output output(dirfd, c.name);
        output.Protect(spared, "the input");
        ASSERT_TRUE(output.Open()) << c.name;
        ASSERT_TRUE(output.Write(bytes.data(), bytes.size() - 3));
        ASSERT_TRUE(output.Write(bytes.data() + bytes.size() - 3, 3));
        const bool before = c.there != There::Nothing && c.there != There::LinkPlanted;
        EXPECT_EQ(testutil::Exists(path), before) << c.name;
        if (c.there == There::LinkPlanted) {
            ASSERT_EQ(symlink("victim", path.c_str()), 0);
        }
        EXPECT_EQ(output.Commit(c.commit), c.done) << c.name;
        EXPECT_EQ(!output.Clash().empty(), c.there == There::Spared) << c.name;
        struct stat st {};
        if (c.done) {
            EXPECT_EQ(testutil::ReadBytes(path), bytes) << c.name;
            ASSERT_EQ(lstat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, c.there == There::File0640 ? 0640u : 0666u & ~mask)
                << c.name;
        } else if (c.there == There::Nothing) {
            EXPECT_FALSE(testutil::Exists(path)) << c.name;
        }
    }
    EXPECT_EQ(testutil::ReadText(dir / "victim"), "untouched");
    EXPECT_EQ(testutil::Run("ls -A", dir.Path()).out,
              "dir\nlarge\nlimit\nold\nraced\nsmall\nvictim\n");
    close(dirfd);
}

// An output that keeps existing files (a new private key) fails when its target is
// there when it is opened, or appears before it is put in place, and leaves that file
// and nothing else.
TEST(KeptOutput, NeverReplacesAFileThatAppears) {
    testutil::TempDir dir;
    testutil::WriteText(dir / "there", "old");
    Core::File::Output there(dir / "there");
    there.KeepExisting();
    EXPECT_FALSE(there.Open());
    EXPECT_EQ(there.Error(), EEXIST);

    Core::File::Output appears(dir / "appears");
    appears.KeepExisting();
    ASSERT_TRUE(appears.Open());
    ASSERT_TRUE(appears.Write("new", 3));
    testutil::WriteText(dir / "appears", "planted");
    EXPECT_FALSE(appears.Commit(true));
    EXPECT_EQ(appears.Error(), EEXIST);
    EXPECT_EQ(testutil::ReadText(dir / "appears"), "planted");
    EXPECT_EQ(testutil::ReadText(dir / "there"), "old");
    EXPECT_EQ(testutil::Run("ls -A", dir.Path()).out, "appears\nthere\n");
}

// Each writer, seen by strace: the file's data and then its directory synced
// before it exits 0 (the file system, once, for an extraction). LeakSanitizer
// cannot run under ptrace, so a sanitizer build is traced without it.
TEST_F(HostileOutputTest, EveryWriterSyncsWhatItPutsInPlace) {
    if (Shell("strace -o /dev/null true").status != 0)
        GTEST_SKIP() << "strace cannot trace here";
    ASSERT_EQ(Shell(Quote(PKGSTAMP_PATH) + " 1 data.bin p.pkg >/dev/null && mkdir x").status, 0);
    const std::string synced = "fdatasync.*\nfsync\\(\\d+<" + dir.Path() + ">\\)";
    const std::pair<std::string, std::string> writers[] = {
        {"imgpack -t 400 -o o1 data.bin", synced},
        {"pkgstamp 1 data.bin o2", synced},
        {"pkgsign -g k", synced + ".*\n" + synced},
        {"pkgsign -k k.pem -o o3 p.pkg", synced},
        {"pkgcheck -o o4 o3", synced},
        {"imgunpack -C x app.fw", "syncfs\\(\\d+<" + P("x") + ">\\)"}};
    for (const auto& [command, expected] : writers) {
        const RunResult r =
            Shell("PATH=" + Quote(BuildDir()) + ":$PATH; ASAN_OPTIONS=detect_leaks=0 strace -y " +
                  "-o trace -e trace=fsync,fdatasync,syncfs " + command + " >/dev/null");
        EXPECT_EQ(r.status, 0) << command << r.err;
        const std::string trace = testutil::ReadText(P("trace"));
        EXPECT_TRUE(std::regex_search(trace, std::regex(expected))) << command << "\n" << trace;
    }
}

TEST_F(HostileOutputTest, ListingThatCannotBeWrittenExits1) {
    const std::pair<const char*, const char*> cases[] = {{"> /dev/full", "No space left on device"},
                                                         {">&-", "Bad file descriptor"}};
    for (const auto& c : cases) {
        const RunResult r = Shell("{ " + Quote(IMGUNPACK_PATH) + " -d app.fw " +
                                  c.first + "; }");
        EXPECT_EQ(r.status, 1) << c.first;
        EXPECT_EQ(r.err, std::string("imgunpack: write error: ") + c.second + "\n");
    }
}

}  // namespace

#endif
