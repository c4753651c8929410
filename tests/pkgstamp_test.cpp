// End-to-end tests of the package stamper: the built program is run on images
// in a scratch directory and its packages, messages and exit statuses checked.
#include <gtest/gtest.h>

#ifdef PKGSTAMP_PATH

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestUtil.h"

namespace {

using testutil::Bytes;
using testutil::RunResult;
using testutil::TempDir;

const char kUsage[] =
    "usage:\n"
    "       ./pkgstamp [version] [image] [output]\n";

RunResult Stamp(const std::string& args, const std::string& cwd) {
    return testutil::Run(testutil::Quote(PKGSTAMP_PATH) + " " + args, cwd);
}

std::string SystemMd5(const std::string& path) {
    const RunResult result = testutil::Run("md5sum " + testutil::Quote(path), "/");
    return result.out.substr(0, 32);
}

std::string HeaderBlock(size_t size, const std::string& md5, const std::string& version) {
    return "filesize: " + std::to_string(size) + "\nfiletype: dalm_upgrade\nmd5: " + md5 +
           "\nversion: " + version + "\n\n";
}

// The version header of the package the stamper writes with `versionArgs`.
std::string StampedVersion(const std::string& versionArgs) {
    TempDir dir;
    testutil::WriteText(dir / "image", "x");
    const RunResult result = Stamp(versionArgs + " image out", dir.Path());
    EXPECT_EQ(result.status, 0) << versionArgs;
    const std::string package = testutil::ReadText(dir / "out");
    const std::string::size_type begin = package.find("version: ");
    if (begin == std::string::npos)
        return "";
    return package.substr(begin + 9, package.find('\n', begin) - begin - 9);
}

std::string Listing(const TempDir& dir) {
    return testutil::Run("ls -A", dir.Path()).out;
}

TEST(Pkgstamp, BothFormsWriteTheSamePackage) {
    TempDir dir;
    const Bytes image = testutil::RandomBytes(5000, 3);
    testutil::WriteBytes(dir / "image.bin", image);

    const RunResult five = Stamp("1 2 3 image.bin five.pkg", dir.Path());
    EXPECT_EQ(five.status, 0);
    EXPECT_EQ(five.out, "pkgstamp: argc: 6\n");
    EXPECT_EQ(five.err, "");
    const RunResult three = Stamp("16908291 image.bin three.pkg", dir.Path());
    EXPECT_EQ(three.status, 0);
    EXPECT_EQ(three.out, "pkgstamp: argc: 4\n");

    const std::string header = HeaderBlock(5000, SystemMd5(dir / "image.bin"), "16908291");
    Bytes expected = testutil::ToBytes(header);
    expected.insert(expected.end(), image.begin(), image.end());
    EXPECT_EQ(testutil::ReadBytes(dir / "five.pkg"), expected);
    EXPECT_EQ(testutil::ReadBytes(dir / "three.pkg"), expected);
}

TEST(Pkgstamp, PackageIsHeaderAndExactCopyForManySizes) {
    TempDir dir;
    for (size_t size : {0, 1, 55, 64, 4095, 4096, 4097, 8192, 10000, 200000}) {
        SCOPED_TRACE(size);
        const Bytes image = testutil::RandomBytes(size, static_cast<uint32_t>(size) + 1);
        testutil::WriteBytes(dir / "image", image);
        ASSERT_EQ(Stamp("7 image package", dir.Path()).status, 0);
        const std::string md5 = SystemMd5(dir / "image");
        Bytes expected = testutil::ToBytes(HeaderBlock(size, md5, "7"));
        expected.insert(expected.end(), image.begin(), image.end());
        EXPECT_EQ(testutil::ReadBytes(dir / "package"), expected);
    }
    testutil::WriteText(dir / "image", "");
    ASSERT_EQ(Stamp("7 image package", dir.Path()).status, 0);
    EXPECT_EQ(testutil::ReadText(dir / "package"),
              HeaderBlock(0, "d41d8cd98f00b204e9800998ecf8427e", "7"));
}

// A forgotten operand must not look like success: the usage text ends with status 1.
TEST(Pkgstamp, OtherArgumentCountsPrintUsageAndFail) {
    TempDir dir;
    testutil::WriteText(dir / "image", "x");
    for (const std::string args : {"", "1", "1 image", "1 2 image out", "1 2 3 4 image out"}) {
        SCOPED_TRACE(args);
        const RunResult result = Stamp(args, dir.Path());
        EXPECT_EQ(result.status, 1);
        const size_t words = args.empty() ? 1 : 2 + std::count(args.begin(), args.end(), ' ');
        EXPECT_EQ(result.out, "pkgstamp: argc: " + std::to_string(words) + "\n" + kUsage);
        EXPECT_EQ(Listing(dir), "image\n");
    }
}

TEST(Pkgstamp, VersionZeroIsRefused) {
    TempDir dir;
    testutil::WriteText(dir / "image", "x");
    for (const std::string version : {"0", "abc", "256 0 0", "0 0 0", "0 256 65536"}) {
        SCOPED_TRACE(version);
        const RunResult result = Stamp(version + " image out", dir.Path());
        EXPECT_EQ(result.status, 1);
        const std::string argc = version.find(' ') == std::string::npos ? "4" : "6";
        EXPECT_EQ(result.out, "pkgstamp: argc: " + argc + "\nyou need a real version number\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(Listing(dir), "image\n");
    }
}

TEST(Pkgstamp, VersionNumbers) {
    EXPECT_EQ(StampedVersion("-5"), "-5");
    EXPECT_EQ(StampedVersion("12abc"), "12");
    EXPECT_EQ(StampedVersion("' +9'"), "9");
    EXPECT_EQ(StampedVersion("200 0 0"), "-939524096");    // C8 00 00 00
    EXPECT_EQ(StampedVersion("1 300 65536"), "19660800");  // 01 2C 00 00
    EXPECT_EQ(StampedVersion("1 2 65539"), "16908291");    // 01 02 00 03
    // Numbers beyond the 32-bit range take its nearest limit before packing.
    EXPECT_EQ(StampedVersion("4294967297"), "2147483647");
    EXPECT_EQ(StampedVersion("-4294967297"), "-2147483648");
    EXPECT_EQ(StampedVersion("4294967297 0 0"), "-16777216");  // FF 00 00 00
}

TEST(Pkgstamp, FilesThatCannotBeOpenedAreReported) {
    TempDir dir;
    testutil::WriteText(dir / "image", "x");
    RunResult result = Stamp("1 missing out", dir.Path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "unable to open input\n: No such file or directory\n");
    result = Stamp("1 image nodir/out", dir.Path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "unable to open output file\n: No such file or directory\n");
    EXPECT_EQ(Listing(dir), "image\n");
}

TEST(Pkgstamp, ExistingOutputIsReplacedWholeThroughItsLinks) {
    TempDir dir;
    testutil::WriteText(dir / "image", "abc");
    testutil::WriteBytes(dir / "real", testutil::RandomBytes(10000));
    ASSERT_EQ(symlink("real", (dir / "link").c_str()), 0);
    ASSERT_EQ(Stamp("1 image link", dir.Path()).status, 0);
    EXPECT_EQ(testutil::ReadText(dir / "real"),
              HeaderBlock(3, "900150983cd24fb0d6963f7d28e17f72", "1") + "abc");
    struct stat st {};
    ASSERT_EQ(lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Listing(dir), "image\nlink\nreal\n");
}

TEST(Pkgstamp, OutputThatIsTheImageIsRefused) {
    TempDir dir;
    const Bytes image = testutil::RandomBytes(3000);
    testutil::WriteBytes(dir / "image", image);
    ASSERT_EQ(symlink("image", (dir / "alias").c_str()), 0);
    for (const std::string& output : std::vector<std::string>{"./image", "alias", dir / "image"}) {
        const RunResult result = Stamp("1 image " + testutil::Quote(output), dir.Path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "pkgstamp: output " + output + " is the image itself\n");
        EXPECT_EQ(testutil::ReadBytes(dir / "image"), image);
    }
    EXPECT_EQ(Listing(dir), "alias\nimage\n");
}

TEST(Pkgstamp, UnreadableImageLeavesNoPackage) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    RunResult result = Stamp("1 sub out", dir.Path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "pkgstamp: image sub is not a regular file\n");
    EXPECT_EQ(Listing(dir), "sub\n");

    testutil::WriteText(dir / "out", "old");
    result = Stamp("1 sub out", dir.Path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(testutil::ReadText(dir / "out"), "old");
    EXPECT_EQ(Listing(dir), "out\nsub\n");
}

TEST(Pkgstamp, WriteFailureIsReported) {
    TempDir dir;
    testutil::WriteText(dir / "empty", "");
    testutil::WriteBytes(dir / "large", testutil::RandomBytes(300000));
    for (const std::string image : {"empty", "large"}) {
        const RunResult result = Stamp("1 " + image + " /dev/full", dir.Path());
        EXPECT_EQ(result.status, 1) << image;
        EXPECT_EQ(result.err, "pkgstamp: cannot write package /dev/full: No space left on device\n")
            << image;
    }
}

// The package goes into a pipe this test reads; once its first bytes arrive the
// first reading is done, and the image is cut short or changed in place before the copy
// can finish. Either way the second reading differs from the first.
TEST(Pkgstamp, ImageThatChangesBeforeTheCopyIsRefused) {
    const std::function<void(const std::string&)> changes[] = {
        [](const std::string& path) { EXPECT_EQ(truncate(path.c_str(), 10), 0); },
        [](const std::string& path) { testutil::FlipLastByte(path); }};
    for (const auto& change : changes) {
        TempDir dir;
        const size_t size = 4 << 20;
        testutil::WriteBytes(dir / "image", testutil::RandomBytes(size, 9));
        RunResult result;
        const size_t received = testutil::ReadFifoChangingInput(
            dir / "package", [&] { result = Stamp("1 image package", dir.Path()); },
            [&] { change(dir / "image"); });
        EXPECT_LT(received, size + 200);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "pkgstamp: image image changed while it was copied\n");
    }
}

// Images that cannot be measured are refused at once, with nothing left behind.
TEST(Pkgstamp, ImagesThatCannotBeMeasuredAreRefused) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const int sparse = open((dir / "big").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(sparse, 0);
    ASSERT_EQ(ftruncate(sparse, off_t{1} << 32), 0);
    close(sparse);
    const std::pair<std::string, std::string> cases[] = {
        {"/dev/zero", "pkgstamp: image /dev/zero is not a regular file\n"},
        {"fifo", "pkgstamp: image fifo is not a regular file\n"},
        {"big", "pkgstamp: image big would make a package of 4 GiB or more\n"},
    };
    for (const auto& c : cases) {
        const RunResult result = Stamp("1 " + c.first + " z.pkg", dir.Path());
        EXPECT_EQ(result.status, 1) << c.first;
        EXPECT_EQ(result.err, c.second);
    }
    EXPECT_EQ(Listing(dir), "big\nfifo\n");
}

// A package of 4 GiB with its header is refused at once; the largest below it is written
// (until the file size limit stops the writing).
TEST(Pkgstamp, PackagesOf4GiBAreRefused) {
    TempDir dir;
    const uint64_t largest = UINT32_MAX - HeaderBlock(4000000000u, std::string(32, '0'), "1").size();
    for (const uint64_t size : {(uint64_t{1} << 32) - 50, largest + 1, largest}) {
        unlink((dir / "image").c_str());
        if (!testutil::ExtendSparse(dir / "image", size))
            GTEST_SKIP() << "no sparse files here";
        const RunResult result = testutil::Run(
            testutil::WithSmallFiles(testutil::Quote(PKGSTAMP_PATH) + " 1 image z.pkg"), dir.Path());
        EXPECT_EQ(result.err, size == largest
                                  ? "pkgstamp: cannot write package z.pkg: File too large\n"
                                  : "pkgstamp: image image would make a package of 4 GiB or more\n");
        EXPECT_EQ(Listing(dir), "image\n");
    }
}

}  // namespace

#endif  // PKGSTAMP_PATH
