// Files of 2 to 4 GiB, which the formats allow, on every host (32-bit ones
// included): a sparse 3 GiB data file packed, listed, extracted, stamped and
// checked by the built programs, and the library's file buffer measuring and
// reading past 2 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "CFileBuffer.h"
#include "TestUtil.h"

#if defined(IMGPACK_PATH) && defined(IMGUNPACK_PATH) && defined(PKGSTAMP_PATH) && \
    defined(PKGCHECK_PATH)

namespace {

using testutil::RunResult;
using testutil::TempDir;

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kBig = 3 * kGiB;
// Bytes written into the otherwise empty data file, each past a 2 GiB boundary
// a 32-bit offset would wrap at, and at both ends.
constexpr uint64_t kMarks[] = {0, 2 * kGiB + 1, kBig - 1};

bool HasRoom(const std::string& dir, uint64_t room) {
    struct statvfs fs {};
    return statvfs(dir.c_str(), &fs) == 0 &&
           static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >= room;
}

// Where the copies go: memory when it has room for them (the test is about
// offsets, not about the disk), the usual scratch directory otherwise.
std::string ScratchFor(uint64_t room) {
    return HasRoom("/dev/shm", room + 4 * kGiB) ? "/dev/shm" : "/tmp";
}

// A sparse file of `size` bytes holding mark bytes; false where the file
// system cannot make one (no sparse files, or too little room for the copies
// the test writes besides).
bool MakeSparse(const std::string& path, uint64_t size, uint64_t room) {
    if (!HasRoom(path.substr(0, path.rfind('/')), room))
        return false;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool made = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const uint64_t at : kMarks) {
        const uint8_t mark = static_cast<uint8_t>(0xA5 ^ at);
        made = made && pwrite(fd, &mark, 1, static_cast<off_t>(at)) == 1;
    }
    struct stat st {};
    made = made && fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_blocks) * 512 < kGiB;
    if (fd >= 0)
        close(fd);
    return made;
}

// The mark bytes of a copy of the data file that starts `skip` bytes into `path`.
bool HoldsMarks(const std::string& path, uint64_t skip) {
    const int fd = open(path.c_str(), O_RDONLY);
    struct stat st {};
    bool holds = fd >= 0 && fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) >= skip + kBig;
    for (const uint64_t at : kMarks) {
        uint8_t byte = 0;
        holds = holds && pread(fd, &byte, 1, static_cast<off_t>(skip + at)) == 1 &&
                byte == static_cast<uint8_t>(0xA5 ^ at);
    }
    if (fd >= 0)
        close(fd);
    return holds;
}

uint64_t SizeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

RunResult Program(const char* program, const std::string& args, const std::string& cwd) {
    return testutil::Run(testutil::Quote(program) + " " + args, cwd);
}

TEST(LargeFiles, ThreeGiBDataFileIsPackedListedExtractedStampedAndChecked) {
    if (testutil::kEmulated)
        GTEST_SKIP() << "3 GiB read five times under an emulator is too slow; i686 runs it natively";
    TempDir dir(ScratchFor(2 * kBig));
    // At most two 3 GiB copies exist at once; each goes once it has been checked.
    if (!MakeSparse(dir / "big", kBig, 2 * kBig + kGiB))
        GTEST_SKIP() << "no room for a sparse 3 GiB file and two copies in " << dir.Path();

    RunResult r = Program(IMGPACK_PATH, "-t 400 -d 1 -m 1 -y 2025 -o big.fw big", dir.Path());
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const uint64_t header = SizeOf(dir / "big.fw") - kBig;
    ASSERT_LT(header, 1024u);
    EXPECT_TRUE(HoldsMarks(dir / "big.fw", header));

    r = Program(IMGUNPACK_PATH, "-d big.fw", dir.Path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("3221225472"), std::string::npos) << r.out;

    ASSERT_EQ(mkdir((dir / "out").c_str(), 0700), 0);
    r = Program(IMGUNPACK_PATH, "../big.fw", dir / "out");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(SizeOf(dir / "out/big"), kBig);
    EXPECT_TRUE(HoldsMarks(dir / "out/big", 0));
    unlink((dir / "out/big").c_str());

    r = Program(PKGSTAMP_PATH, "1 big.fw big.pkg", dir.Path());
    ASSERT_EQ(r.status, 0) << r.err;
    unlink((dir / "big.fw").c_str());
    EXPECT_TRUE(HoldsMarks(dir / "big.pkg", SizeOf(dir / "big.pkg") - kBig));

    r = Program(PKGCHECK_PATH, "big.pkg", dir.Path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A data file past 2 GiB with an unknown type is measured and named with its
// true size; the file buffer measures and reads it at every offset.
TEST(LargeFiles, SizesPast2GiBAreMeasuredAndReadWhole) {
    TempDir dir;
    if (!MakeSparse(dir / "big", kBig, kGiB))
        GTEST_SKIP() << "no sparse 3 GiB file in " << dir.Path();
    const RunResult r = Program(IMGUNPACK_PATH, "-d big", dir.Path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("file size: 3221225472\n"), std::string::npos) << r.out;

    CFileBuffer buffer(dir / "big");
    EXPECT_EQ(buffer.Size(), kBig);
    for (const uint64_t at : kMarks)
        EXPECT_EQ(buffer.At(static_cast<uint32_t>(at)), static_cast<uint8_t>(0xA5 ^ at)) << at;
    uint8_t tail[4] = {};
    EXPECT_EQ(buffer.Copy(static_cast<uint32_t>(kBig - 2), 4, tail), 2u);
}

}  // namespace

#endif
