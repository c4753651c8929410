// Crafted files whose fields claim far more than the file holds: a body of
// 4 GiB, 65535 physical objects, a name of 255 bytes, a header of 65535 bytes,
// a package header line without end. Memory must follow what the file really
// holds, so the peak resident size of a run over such a file stays within a
// small constant of the same run over an ordinary small file.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "CHeaderFile.h"
#include "CVorelBuffer.h"
#include "FragmentBytes.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"

namespace {

using fragbytes::Bytes;
using fragbytes::Meta;
using fragbytes::Part;

// What a run may use beyond the ordinary run it is compared with.
const long kSlackKiB = 8 * 1024;

// Runs `work` in a child process; returns the child's peak resident size in
// KiB and its exit status in `status`.
long PeakOfChild(const std::function<int()>& work, int& status) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work());
    int raw = 0;
    struct rusage usage {};
    if (pid < 0 || wait4(pid, &raw, 0, &usage) != pid)
        return -1;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return usage.ru_maxrss;
}

// Peak resident size of `command` run by the shell in `cwd`, output discarded.
long PeakOfCommand(const std::string& command, const std::string& cwd, int& status) {
    return PeakOfChild(
        [&] {
            if (chdir(cwd.c_str()) != 0)
                return 126;
            const std::string line =
                "exec " + command + " >/dev/null 2>&1 </dev/null";
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            return 127;
        },
        status);
}

// A logical header with correct checksums over `body`, announcing `objects`
// physical objects; `bodyLength` replaces the body length it gives when set.
Bytes LogicalOver(const std::string& name, uint16_t objects, const Bytes& body,
                  uint32_t bodyLength = 0) {
    Bytes extension;
    fragbytes::Put(extension, 1, 4);
    fragbytes::Put(extension, objects, 2);
    Bytes file = fragbytes::Header(
        name, Meta{300}, bodyLength != 0 ? bodyLength : static_cast<uint32_t>(body.size()),
        fragbytes::Crc16(body), static_cast<uint32_t>(46 + name.size()), extension);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// A logical file over `parts` that announces `objects` of them.
Bytes CraftedLogical(const std::string& name, uint16_t objects, const std::vector<Part>& parts,
                     uint32_t bodyLength = 0) {
    const Bytes file = fragbytes::Logical(name, Meta{300}, 1, objects, parts);
    const Bytes body(file.begin() + static_cast<long>(46 + name.size()), file.end());
    return LogicalOver(name, objects, body, bodyLength);
}

// A physical file whose header claims `bodyLength` bytes while holding `body`.
Bytes ClaimingBody(const std::string& name, const Bytes& body, uint32_t bodyLength) {
    Bytes file = fragbytes::Header(name, Meta{}, bodyLength, fragbytes::Crc16(body),
                                   static_cast<uint32_t>(40 + name.size()));
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

// A header whose length field claims 65535 bytes, with a 255-byte name and
// its CRC taken over the bytes the file holds.
Bytes ClaimingHeaderLength() {
    Bytes file = fragbytes::Physical(Part{std::string(255, 'n'), Bytes(16, 1), Meta{}});
    file[0] = 0xFF;
    file[1] = 0xFF;
    return file;
}

class BoundedResourcesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const Part small{"small", testutil::RandomBytes(200, 3), Meta{}};
        const Part one{"one", testutil::RandomBytes(100, 4), Meta{}};
        testutil::WriteBytes(dir / "plain.fw", fragbytes::Physical(small));
        testutil::WriteBytes(dir / "logical.fw", CraftedLogical("l", 1, {small}));
        testutil::WriteBytes(dir / "body4g.fw", ClaimingBody("big", Bytes(100, 7), 0xFFFFFFFFu));
        testutil::WriteBytes(dir / "header64k.fw", ClaimingHeaderLength());
        testutil::WriteBytes(dir / "objects.fw", CraftedLogical("many", 65535, {one}));
        testutil::WriteBytes(dir / "logical4g.fw",
                             CraftedLogical(std::string(255, 'L'), 65535, {one}, 0xFFFFFFFFu));
        // A physical header in a logical body claiming a body of 4 GiB.
        const Bytes inner = fragbytes::Header(std::string(255, 'p'), Meta{}, 0xFFFFFFFFu, 0, 342);
        testutil::WriteBytes(dir / "inner4g.fw", LogicalOver("l", 65535, inner));
    }

    // Peak of `program` over `file`, checked against the same run over the
    // ordinary file `ordinary`.
    void ExpectBounded(const std::string& program, const std::string& file,
                       const std::string& ordinary, int expectedStatus) {
        int status = -1;
        const long base = PeakOfCommand(program + " " + ordinary, dir.Path(), status);
        ASSERT_EQ(status, 0) << program << " " << ordinary;
        const long peak = PeakOfCommand(program + " " + file, dir.Path(), status);
        EXPECT_EQ(status, expectedStatus) << program << " " << file;
        EXPECT_LT(peak, base + kSlackKiB) << program << " " << file << ": " << peak << " KiB";
    }

    testutil::TempDir dir;
};

#ifdef IMGUNPACK_PATH
TEST_F(BoundedResourcesTest, DecoderMemoryFollowsTheFileNotItsFields) {
    for (const std::string args : {" -d", " -n small"}) {
        const std::string program = testutil::Quote(IMGUNPACK_PATH) + args;
        ExpectBounded(program, "body4g.fw", "plain.fw", 1);
        ExpectBounded(program, "header64k.fw", "plain.fw", 1);
        ExpectBounded(program, "objects.fw", "logical.fw", 1);
        ExpectBounded(program, "logical4g.fw", "logical.fw", 1);
        ExpectBounded(program, "inner4g.fw", "logical.fw", 1);
    }
}
#endif

#ifdef IMGPACK_PATH
TEST_F(BoundedResourcesTest, EncoderInputsAreReadWithinTheFile) {
    const std::string program = testutil::Quote(IMGPACK_PATH) + " -p 1 -t 300 -o out.fw";
    ExpectBounded(program, "objects.fw", "logical.fw", 0);  // its one fragment is joined
    ExpectBounded(program, "body4g.fw", "plain.fw", 1);
    ExpectBounded(program, "header64k.fw", "plain.fw", 1);
    ExpectBounded(program, "logical4g.fw", "logical.fw", 1);
}
#endif

#ifdef PKGSTAMP_PATH
TEST_F(BoundedResourcesTest, StamperNeverHoldsTheImage) {
    testutil::WriteText(dir / "small", "x");
    testutil::WriteText(dir / "endless", std::string(32u << 20, 'x'));
    const std::string program = testutil::Quote(PKGSTAMP_PATH) + " 1";
    ExpectBounded(program, "endless endless.pkg", "small small.pkg", 0);
}
#endif

// A package whose first header line never ends: the header file reader takes
// it in lines of at most 1023 bytes, from a file and from memory alike, and
// never holds the line whole.
TEST_F(BoundedResourcesTest, PackageLineWithoutEndIsReadInBoundedLines) {
    const std::string endless(32u << 20, 'x');
    testutil::WriteText(dir / "endless.pkg", endless);
    int status = -1;
    const long base = PeakOfChild([] { return 0; }, status);
    const long peak = PeakOfChild(
        [&] {
            CHeaderFile file(dir / "endless.pkg");
            CHeaderFile memory(endless.data(), static_cast<int>(endless.size()));
            if (!file.ReadFile() || !memory.ReadFile())
                return 1;
            FILE* data = file.GetFileData();
            const long at = data != nullptr ? std::ftell(data) : -1;
            if (data != nullptr)
                std::fclose(data);
            // The first 1023 bytes are one word, which ends the header.
            const bool ended = file.GetHeaders().empty() && memory.GetHeaders().empty() &&
                               at == 1023 && memory.GetBufferData() == endless.data() + 1023;
            return ended ? 0 : 2;
        },
        status);
    EXPECT_EQ(status, 0);
    EXPECT_LT(peak, base + kSlackKiB) << peak << " KiB";
}

// A package header of very many lines is read in one pass: every line lands in
// the set and the view presents them once, in name order.
TEST_F(BoundedResourcesTest, PackageHeaderOfManyLinesIsReadInOnePass) {
    std::string header;
    for (int i = 10000; i < 16000; ++i)  // 60,000 bytes, within the header cap
        header += "k" + std::to_string(i) + ": v\n";
    const std::string package = header + "filesize: 1\n\nD";
    MemoryBuffer bytes(testutil::ToBytes(package));
    CVorelBuffer view(&bytes);
    ASSERT_TRUE(view.Decode());
    EXPECT_EQ(view.GetHeader("k15999"), "v");
    EXPECT_EQ(view.GetRawData(), package.size() - 1);
    EXPECT_EQ(view.Size(), package.size());
    EXPECT_EQ(view.At(view.Size() - 1), 'D');
}

}  // namespace
