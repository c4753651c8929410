// Tests of package signing and checking: the library's checker over packages in
// memory, and pkgsign/pkgcheck end to end, with the openssl command line as the
// other side of every signature.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "CHeaderFile.h"
#include "CFileBuffer.h"
#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageStream.h"
#include "CSha256.h"
#include "CVorelBuffer.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"
#include "md5.h"

namespace {

using testutil::Bytes;
using testutil::Quote;
using testutil::RunResult;
using testutil::TempDir;
using State = CPackageCheck::SignatureState;

const char kMd5Of3[] = "900150983cd24fb0d6963f7d28e17f72";  // of "abc"

std::string Unsigned(const std::string& image, const std::string& md5 = kMd5Of3) {
    return "filesize: " + std::to_string(image.size()) + "\nfiletype: dalm_upgrade\nmd5: " + md5 +
           "\nversion: 7\n\n" + image;
}

std::string Md5(const std::string& image) {
    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, reinterpret_cast<const unsigned char*>(image.data()),
              static_cast<unsigned int>(image.size()));
    MD5Final(&context);
    char hex[33];
    MD5Hex(&context, hex);
    return hex;
}

// The package signed by `key`, as pkgsign writes it.
std::string Signed(const CEd25519Key& key, const std::string& image = "abc") {
    MemoryBuffer buffer(testutil::ToBytes(Unsigned(image, Md5(image))));
    CPackageHeader header;
    EXPECT_EQ(header.Read(buffer), PackageError::Ok);
    return header.Sign(key, CSha256::Hex(CSha256::Of(image.data(), image.size()))) + image;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string EveryReplaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

struct Case {
    const char* what;
    std::function<std::string(const std::string& signedPackage)> make;
    int keys;  // 0: none, 1: the signer's, 2: another key, 3: another and the signer's
    PackageError error;
    int status;
};

const Case kCases[] = {
    {"intact, checked with its key", [](auto p) { return p; }, 1, PackageError::Ok, 0},
    {"intact, no key given", [](auto p) { return p; }, 0, PackageError::Ok, 0},
    {"two keys of which one signed", [](auto p) { return p; }, 3, PackageError::Ok, 0},
    {"changed image byte", [](auto p) { return p.substr(0, p.size() - 1) + "d"; }, 1,
     PackageError::ImageMismatch, 3},
    {"one byte short", [](auto p) { return p.substr(0, p.size() - 1); }, 1,
     PackageError::ImageMismatch, 3},
    {"one byte too many", [](auto p) { return p + "d"; }, 1, PackageError::ImageMismatch, 3},
    {"wrong sha256", [](auto p) { return Replaced(p, "sha256: b", "sha256: c"); }, 0,
     PackageError::ImageMismatch, 3},
    {"changed version value", [](auto p) { return Replaced(p, "version: 7", "version: 8"); }, 1,
     PackageError::BadSignature, 4},
    {"malformed signature", [](auto p) { return Replaced(p, "ed25519:", "ed448:"); }, 0,
     PackageError::BadSignature, 4},
    {"signature text not canonical", [](auto p) { return Replaced(p, "==\n", "=A\n"); }, 1,
     PackageError::BadSignature, 4},
    {"wrong key", [](auto p) { return p; }, 2, PackageError::BadSignature, 4},
    {"sha256 line renamed: the header no longer verifies, the image is not read",
     [](auto p) { return Replaced(p, "sha256: ", "sha257: "); }, 1, PackageError::BadSignature, 4},
    {"unsigned with a key", [](auto) { return Unsigned("abc"); }, 1, PackageError::Unsigned, 5},
    {"no empty line", [](auto) { return std::string("filesize: 3\nmd5: x\n"); }, 0,
     PackageError::NotAPackage, 2},
    {"no md5", [](auto) { return std::string("filesize: 3\n\nabc"); }, 0, PackageError::NotAPackage,
     2},
    {"filesize not a number", [](auto p) { return Replaced(p, "filesize: 3", "filesize: 3x"); }, 0,
     PackageError::NotAPackage, 2},
    {"line without its blank", [](auto p) { return Replaced(p, "version: 7", "version:7"); }, 0,
     PackageError::NotAPackage, 2},
    {"a name twice", [](auto p) { return Replaced(p, "version: 7", "md5: 7"); }, 0,
     PackageError::NotAPackage, 2},
    {"no empty line in the first 64 KiB", [](auto) { return std::string(70000, 'a'); }, 0,
     PackageError::NotAPackage, 2},
    {"nothing at all", [](auto) { return std::string(); }, 0, PackageError::NotAPackage, 2},
};

// What a checker tells of a package, and what its sink and progress got.
struct Seen {
    CPackageCheck::Result result;
    std::string image;
    std::vector<std::pair<uint64_t, uint64_t>> progress;
};

template <typename Checker>
void Watch(Checker& checker, Seen& seen) {
    checker.SetImageSink([&seen](const uint8_t* data, size_t size) {
        seen.image.append(reinterpret_cast<const char*>(data), size);
        return true;
    });
    checker.SetProgress([&seen](uint64_t done, uint64_t total) {
        seen.progress.emplace_back(done, total);
    });
}

void ExpectSameResult(const CPackageCheck::Result& a, const CPackageCheck::Result& b) {
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.problem, b.problem);
    EXPECT_EQ(a.headers, b.headers);
    ASSERT_EQ(a.checks.size(), b.checks.size());
    for (size_t i = 0; i < a.checks.size(); ++i) {
        EXPECT_EQ(a.checks[i].name, b.checks[i].name);
        EXPECT_EQ(a.checks[i].stored, b.checks[i].stored);
        EXPECT_EQ(a.checks[i].computed, b.checks[i].computed);
        EXPECT_EQ(a.checks[i].ok, b.checks[i].ok);
    }
    EXPECT_EQ(a.trust.signature, b.trust.signature);
    EXPECT_EQ(a.trust.keyId, b.trust.keyId);
    EXPECT_EQ(a.md5, b.md5);
    EXPECT_EQ(a.sha256, b.sha256);
}

class PackageCheck : public testing::Test {
  protected:
    CEd25519Key m_signer = CEd25519Key::Generate();
    CEd25519Key m_other = CEd25519Key::Generate();
};

TEST_F(PackageCheck, EachDamageGivesItsVerdict) {
    const std::string good = Signed(m_signer);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        MemoryBuffer buffer(testutil::ToBytes(c.make(good)));
        CPackageCheck check;
        if (c.keys >= 2)
            check.AddKey(m_other);
        if (c.keys % 2 == 1)
            check.AddKey(m_signer);
        size_t handedOn = 0;
        check.SetImageSink([&](const uint8_t*, size_t size) {
            handedOn += size;
            return true;
        });
        EXPECT_EQ(check.Run(buffer).error, c.error);
        // A header that is refused keeps every byte of the image from the sink.
        if (c.error != PackageError::Ok && c.error != PackageError::ImageMismatch) {
            EXPECT_EQ(handedOn, 0u);
        }
    }
}

// The stream, fed in chunks of 1, 7 and 64 KiB bytes and all at once, gives
// the buffer checker's result; a refused header hands nothing on, no image
// hands on more than its filesize, and progress runs from 0 to the filesize.
TEST_F(PackageCheck, StreamInAnyChunkingGivesTheBufferCheckersResult) {
    const Bytes big = testutil::RandomBytes(600 * 1024, 9);
    const std::string large = Signed(m_signer, std::string(big.begin(), big.end()));
    std::vector<std::pair<std::string, std::string>> packages = {{"large", large}};
    for (const Case& c : kCases)
        packages.emplace_back(c.what, c.make(Signed(m_signer)));
    for (const auto& [what, package] : packages) {
        MemoryBuffer buffer(testutil::ToBytes(package));
        CPackageCheck check;
        check.AddKey(m_signer);
        Seen wanted;
        Watch(check, wanted);
        wanted.result = check.Run(buffer);
        for (const size_t chunk : {size_t{1}, size_t{7}, size_t{64 * 1024}, package.size() + 1}) {
            SCOPED_TRACE(what + ", chunks of " + std::to_string(chunk));
            CPackageStream stream;
            stream.AddKey(m_signer);
            Seen seen;
            Watch(stream, seen);
            for (size_t at = 0; at < package.size(); at += chunk)
                stream.Feed(package.data() + at, std::min(chunk, package.size() - at));
            seen.result = stream.Finish();
            ExpectSameResult(seen.result, wanted.result);
            EXPECT_TRUE(seen.image == wanted.image);
            EXPECT_EQ(seen.progress, wanted.progress);
            const PackageError error = seen.result.error;
            if (error != PackageError::Ok && error != PackageError::ImageMismatch) {
                EXPECT_EQ(seen.image, "");
                EXPECT_TRUE(seen.progress.empty());
            } else {
                const uint64_t total = std::stoull(seen.result.checks[0].stored);
                EXPECT_EQ(seen.progress.front(), std::make_pair(uint64_t{0}, total));
                EXPECT_EQ(seen.progress.back().first, std::min<uint64_t>(total, seen.image.size()));
                EXPECT_LE(seen.image.size(), total);
            }
        }
    }
}

TEST_F(PackageCheck, ReportsStatesAndStreamsTheWholeImageAcrossBlocks) {
    const Bytes image = testutil::RandomBytes(2600 * 1024, 5);
    const std::string text(image.begin(), image.end());
    MemoryBuffer buffer(testutil::ToBytes(Signed(m_signer, text)));
    CPackageCheck check;
    std::string copied;
    check.SetImageSink([&](const uint8_t* data, size_t size) {
        copied.append(reinterpret_cast<const char*>(data), size);
        return true;
    });
    EXPECT_EQ(check.Run(buffer).trust.signature, State::Unverified);
    check.AddKey(m_signer);
    const CPackageCheck::Result& result = check.Run(buffer);
    EXPECT_EQ(result.error, PackageError::Ok);
    EXPECT_EQ(result.trust.signature, State::Verified);
    EXPECT_EQ(result.trust.keyId, m_signer.KeyId());
    EXPECT_EQ(result.sha256, CSha256::Hex(CSha256::Of(text.data(), text.size())));
    EXPECT_TRUE(copied == text + text);
    check.SetImageSink([](const uint8_t*, size_t) { return false; });
    EXPECT_EQ(check.Run(buffer).error, PackageError::WriteFailed);

    // A package file that is missing or no regular file cannot be read: it is
    // not taken for an empty package.
    for (const char* path : {"/nonexistent/p.pkg", "/dev/null", "/"}) {
        CFileBuffer file(path);
        EXPECT_EQ(check.Run(file).error, PackageError::ReadFailed) << path;
        EXPECT_NE(check.GetResult().problem, "") << path;
    }
}

// A package file of 4 GiB or more is refused whole; one of 4 GiB - 1 is read (until
// the sink refuses its first block).
TEST_F(PackageCheck, PackageFilesOf4GiBAreRefusedWhole) {
    TempDir dir;
    for (const uint64_t size : {uint64_t{1} << 32, uint64_t{UINT32_MAX}}) {
        // A header of 60 bytes that declares the rest as its image, so that the
        // sink is handed bytes (and stops the reading) when the file is read.
        testutil::WriteText(dir / "big.pkg", "filesize: " + std::to_string(size - 60) +
                                                 "\nmd5: " + std::string(32, '0') + "\n\n");
        if (!testutil::ExtendSparse(dir / "big.pkg", size))
            GTEST_SKIP() << "no sparse files here";
        CInputFile file(dir / "big.pkg");
        CPackageCheck check;
        check.SetImageSink([](const uint8_t*, size_t) { return false; });
        EXPECT_EQ(check.Run(file).error,
                  size > UINT32_MAX ? PackageError::TooLarge : PackageError::WriteFailed);
    }
}

// A device checks the package from the buffer under its CVorelBuffer, and the
// existing readers see a signed package as they see the unsigned one.
TEST_F(PackageCheck, ReadersSeeSignedPackagesAsUnsignedOnes) {
    const std::string image = "abc";
    const std::string packages[] = {Unsigned(image), Signed(m_signer, image)};
    for (const std::string& package : packages) {
        MemoryBuffer buffer(testutil::ToBytes(package));
        CVorelBuffer view(&buffer);
        ASSERT_TRUE(view.Decode());
        EXPECT_EQ(view.GetHeader("version"), "7");
        EXPECT_EQ(view.GetHeader("md5"), kMd5Of3);
        EXPECT_EQ(view.GetRawDataSize(), 3u);
        EXPECT_EQ(package.substr(view.GetRawData()), image);
        CPackageCheck check;
        check.AddKey(m_signer);
        EXPECT_NE(check.Run(buffer).error, PackageError::NotAPackage);

        CHeaderFile header(package.data(), static_cast<int>(package.size()));
        ASSERT_TRUE(header.ReadFile());
        EXPECT_EQ(header.GetHeader("filesize"), "3");
        EXPECT_EQ(header.GetHeader("version"), "7");
        EXPECT_EQ(std::string(header.GetBufferData()), image);
    }
}

#if defined(PKGSIGN_PATH) && defined(PKGCHECK_PATH) && defined(PKGSTAMP_PATH)

RunResult Tool(const char* path, const std::string& args, const TempDir& dir) {
    return testutil::Run(Quote(path) + " " + args, dir.Path());
}

// A scratch directory with a key pair k.pem/k.pub made by pkgsign and an
// image of 1.2 MiB stamped by hand as p.pkg.
class PackageTools : public testing::Test {
  protected:
    void SetUp() override {
        const RunResult made = Tool(PKGSIGN_PATH, "-g k", m_dir);
        ASSERT_EQ(made.status, 0) << made.err;
        m_keyId = made.out.substr(0, 16);
        const Bytes image = testutil::RandomBytes(1200 * 1024, 8);
        m_image.assign(image.begin(), image.end());
        testutil::WriteText(m_dir / "image", m_image);
        const std::string md5 = testutil::Run("md5sum image", m_dir.Path()).out.substr(0, 32);
        testutil::WriteText(m_dir / "p.pkg", Unsigned(m_image, md5));
    }
    RunResult Sign(const std::string& args) { return Tool(PKGSIGN_PATH, args, m_dir); }
    RunResult Check(const std::string& args) { return Tool(PKGCHECK_PATH, args, m_dir); }
    // The command as one group, so that Run's redirections apply to the whole of it.
    RunResult Shell(const std::string& command) {
        return testutil::Run("{ " + command + "; }", m_dir.Path());
    }

    TempDir m_dir;
    std::string m_keyId;
    std::string m_image;
};

TEST_F(PackageTools, HelpVersionAndUsageErrors) {
    for (const char* path : {PKGSIGN_PATH, PKGCHECK_PATH}) {
        const std::string name = std::string(path).substr(std::string(path).rfind('/') + 1);
        SCOPED_TRACE(name);
        EXPECT_EQ(Tool(path, "--help", m_dir).out.rfind("Usage: " + name + " ", 0), 0u);
        const RunResult version = Tool(path, "-V", m_dir);
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out.rfind(name + " (fwkit) ", 0), 0u);
        for (const std::string args : {"", "-x p.pkg", "-k", "-k k.pem p.pkg p.pkg"}) {
            const RunResult wrong = Tool(path, args, m_dir);
            EXPECT_EQ(wrong.status, 1) << args;
            EXPECT_EQ(wrong.out, "") << args;
            EXPECT_EQ(wrong.err.rfind(name + ": ", 0), 0u) << args << ": " << wrong.err;
        }
    }
}

TEST_F(PackageTools, KeyFilesAreOpensslKeysAndNeverOverwritten) {
    struct stat st {};
    ASSERT_EQ(stat((m_dir / "k.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const RunResult id =
        Shell("openssl pkey -pubin -in k.pub -outform DER | tail -c 32 | sha256sum | cut -c1-16");
    EXPECT_EQ(id.out, m_keyId + "\n") << id.err;
    EXPECT_EQ(Shell("openssl pkey -in k.pem -noout").status, 0);
    const std::string before = testutil::ReadText(m_dir / "k.pem");
    const RunResult again = Sign("-g k");
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "pkgsign: k.pem: exists; a key is never overwritten\n");
    EXPECT_EQ(testutil::ReadText(m_dir / "k.pem"), before);
}

TEST_F(PackageTools, SignatureVerifiesWithOpenssl) {
    ASSERT_EQ(Sign("-k k.pem p.pkg").status, 0);
    ASSERT_EQ(Shell("sed -n '1,/^$/p' p.pkg | grep -v '^signature: ' >msg && "
                    "sed -n 's/^signature: ed25519:[0-9a-f]*://p' p.pkg | base64 -d >sig")
                  .status,
              0);
    const RunResult verify =
        Shell("openssl pkeyutl -verify -pubin -inkey k.pub -rawin -in msg -sigfile sig");
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_EQ(Check("-k k.pub p.pkg").status, 0);
    Shell("openssl dgst -sha256 -r image | cut -c1-64 >want");
    EXPECT_NE(
        testutil::ReadText(m_dir / "p.pkg").find("sha256: " + testutil::ReadText(m_dir / "want")),
        std::string::npos);
}

TEST_F(PackageTools, OpensslSignatureVerifiesWithPkgcheck) {
    const std::string script =
        "openssl genpkey -algorithm ed25519 -out o.pem && openssl pkey -in o.pem -pubout -out o.pub"
        " && id=$(openssl pkey -pubin -in o.pub -outform DER | tail -c 32 | sha256sum | cut -c1-16)"
        " && sha=$(sha256sum image | cut -c1-64) && md5=$(md5sum image | cut -c1-32)"
        " && printf 'filesize: %s\\nmd5: %s\\nsha256: %s\\nversion: 7\\n\\n' $(stat -c %s image)"
        " $md5 $sha >msg"
        " && openssl pkeyutl -sign -inkey o.pem -rawin -in msg -out sig"
        " && { sed '$d' msg; echo \"signature: ed25519:$id:$(base64 -w0 sig)\"; echo; cat image; }"
        " >o.pkg";
    ASSERT_EQ(Shell(script).status, 0);
    const RunResult result = Check("-k k.pub -k o.pub o.pkg");
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(Check("-k k.pub o.pkg").status, 4);
}

TEST_F(PackageTools, ExitStatusesAndNothingWrittenForADamagedPackage) {
    ASSERT_EQ(Sign("-k k.pem -o good.pkg p.pkg").status, 0);
    ASSERT_EQ(Shell("openssl genpkey -algorithm ed25519 | openssl pkey -pubout -out w.pub").status,
              0);
    const std::string good = testutil::ReadText(m_dir / "good.pkg");
    struct Row {
        std::string package;
        std::string keys;
        int status;
    } rows[] = {{good, "-k k.pub", 0},
                {good, "-k w.pub -k k.pub", 0},
                {good.substr(0, good.size() - 1), "-k k.pub", 3},
                {Replaced(good, "version: 7", "version: 8"), "-k k.pub", 4},
                {good, "-k w.pub", 4},
                {Unsigned("abc"), "-k k.pub", 5},
                {"filesize: 3\n\nabc", "", 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.keys + " " + std::to_string(row.status));
        testutil::WriteText(m_dir / "c.pkg", row.package);
        const RunResult result = Check(row.keys + " -o out.img c.pkg");
        EXPECT_EQ(result.status, row.status) << result.out << result.err;
        EXPECT_EQ(testutil::Exists(m_dir / "out.img"), row.status == 0);
        if (row.status == 0) {
            EXPECT_TRUE(testutil::ReadText(m_dir / "out.img") == m_image);
        }
        unlink((m_dir / "out.img").c_str());
        const RunResult report = Check(row.keys + " -j c.pkg");
        const auto json = nlohmann::json::parse(report.out);
        EXPECT_EQ(json["status"], row.status);
        EXPECT_EQ(json["ok"], row.status == 0);

        // Read from a pipe, once: the same verdict, lines and report, and the
        // image in place only when every check passed.
        const std::string check = Quote(PKGCHECK_PATH) + " " + row.keys;
        const RunResult piped = Shell("cat c.pkg | " + check + " -o out.img -");
        EXPECT_EQ(piped.status, row.status) << piped.err;
        EXPECT_EQ(piped.out, EveryReplaced(Check(row.keys + " c.pkg").out, "c.pkg: ", "-: "));
        EXPECT_EQ(testutil::Exists(m_dir / "out.img"), row.status == 0);
        if (row.status == 0) {
            EXPECT_TRUE(testutil::ReadText(m_dir / "out.img") == m_image);
        }
        unlink((m_dir / "out.img").c_str());
        EXPECT_EQ(Shell(check + " -j - <c.pkg").out, Replaced(report.out, "c.pkg", "-"));

        // The C API's client, given k.pub, reads the same from a pipe.
        if (row.keys != "-k k.pub")
            continue;
        const RunResult client =
            Shell("cat c.pkg | " + Quote(CAPI_STREAM_PATH) + " k.pub client.img");
        EXPECT_EQ(client.status, row.status) << client.out;
        if (row.status == 0) {
            EXPECT_TRUE(testutil::ReadText(m_dir / "client.img") == m_image);
            EXPECT_NE(client.out.find("starts 1, " + std::to_string(m_image.size()) + " of "),
                      std::string::npos);
        }
    }
}

// Every failure of status 1 prints its message and, with -j, a document saying the same.
TEST_F(PackageTools, JsonDocumentForEveryFailureOfStatus1) {
    if (!testutil::ExtendSparse(m_dir / "big.pkg", uint64_t{1} << 32))
        GTEST_SKIP() << "no sparse files here";
    const std::pair<std::string, std::string> rows[] = {
        {"missing.pkg", "No such file or directory"},
        {"/", "Is a directory"},
        {"k.pem", "a private key; give its public key (openssl pkey -pubout)"},
        {"big.pkg", "4 GiB or more, beyond what a package holds"},
        {"none/out.img", "No such file or directory"}};
    for (const auto& [file, problem] : rows) {
        const std::string args = file == "k.pem" ? "-k k.pem p.pkg"
                                 : file == "none/out.img" ? "-o none/out.img p.pkg" : file;
        const RunResult result = Check("-j " + args);
        EXPECT_EQ(result.status, 1) << args;
        EXPECT_EQ(result.err, "pkgcheck: " + file + ": " + problem + "\n");
        EXPECT_EQ(nlohmann::json::parse(result.out),
                  nlohmann::json({{"schema", 1}, {"file", file}, {"ok", false}, {"status", 1},
                                  {"problem", problem}}));
    }
}

// The largest package whose signed form stays below 4 GiB is signed (until the file size
// limit stops the writing); one byte more, or a package of 4 GiB - 1, is refused at once.
TEST_F(PackageTools, PkgsignRefusesASignedPackageOf4GiB) {
    const std::string header = "filesize: 4000000000\nmd5: " + std::string(32, '0') + "\n\n";
    MemoryBuffer sample(testutil::ToBytes(header));
    CPackageHeader read;
    ASSERT_EQ(read.Read(sample), PackageError::Ok);
    const uint64_t largest = UINT32_MAX - read.SignedSize() + header.size();
    for (const uint64_t size : {largest, largest + 1, uint64_t{UINT32_MAX}}) {
        testutil::WriteText(m_dir / "big.pkg", header);
        if (!testutil::ExtendSparse(m_dir / "big.pkg", size))
            GTEST_SKIP() << "no sparse files here";
        const RunResult result =
            Shell(testutil::WithSmallFiles(Quote(PKGSIGN_PATH) + " -k k.pem -o out.pkg big.pkg"));
        EXPECT_EQ(result.err, size == largest
                                  ? "pkgsign: out.pkg: File too large\n"
                                  : "pkgsign: big.pkg: the signed package would be 4 GiB or more\n");
        EXPECT_FALSE(testutil::Exists(m_dir / "out.pkg"));
    }
}

// A stream's image goes to a device or a stream target as it passes; a FIFO
// named as the package is read like standard input; memory stays small
// however large the image.
TEST_F(PackageTools, StreamTargetsAndBoundedMemory) {
    const std::string check = Quote(PKGCHECK_PATH);
    ASSERT_EQ(Shell("mkfifo f.pkg && { cat p.pkg >f.pkg & } && " + check +
                    " -o /dev/stdout f.pkg >out.img 2>/dev/null")
                  .status,
              0);
    EXPECT_TRUE(testutil::ReadText(m_dir / "out.img") == m_image);
    EXPECT_EQ(Shell("cat p.pkg | " + check + " -o /dev/null -").status, 0);

    const std::string stamp = Quote(PKGSTAMP_PATH);
    ASSERT_EQ(Shell("truncate -s 128M big && " + stamp + " 1 big big.pkg >/dev/null").status, 0);
    const RunResult peak =
        Shell("cat big.pkg | /usr/bin/time -f %M -o peak " + check + " -o out.big - >/dev/null");
    EXPECT_EQ(peak.status, 0) << peak.err;
    EXPECT_LT(std::stol(testutil::ReadText(m_dir / "peak")), 16 * 1024);  // KiB
    struct stat st {};
    ASSERT_EQ(stat((m_dir / "out.big").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 128 << 20);
}

TEST_F(PackageTools, PkgsignRefusesADamagedPackageAndReplacesASignature) {
    const std::string damaged = Unsigned(m_image.substr(1));
    testutil::WriteText(m_dir / "d.pkg", damaged);
    const RunResult refused = Sign("-k k.pem d.pkg");
    EXPECT_EQ(refused.status, 3);
    EXPECT_EQ(testutil::ReadText(m_dir / "d.pkg"), damaged);
    // A header line that CHeaderFile would cut is never signed.
    testutil::WriteText(m_dir / "l.pkg", Replaced(Unsigned("abc"), "7\n", std::string(1014, '7') + "\n"));
    EXPECT_EQ(Sign("-k k.pem l.pkg").err,
              "pkgsign: l.pkg: not a package: header line 4 is longer than 1022 bytes\n");

    ASSERT_EQ(Shell("openssl genpkey -algorithm ed25519 -out o.pem").status, 0);
    ASSERT_EQ(Sign("-k k.pem p.pkg").status, 0);
    ASSERT_EQ(Shell(Quote(PKGSIGN_PATH) + " -k o.pem -o /dev/stdout p.pkg >q.pkg").status, 0);
    EXPECT_EQ(Check("-k k.pub q.pkg").status, 4);
    const std::string signedTwice = testutil::ReadText(m_dir / "q.pkg");
    EXPECT_EQ(signedTwice.find("signature:"), signedTwice.rfind("signature:"));
    EXPECT_EQ(Shell(Quote(PKGCHECK_PATH) + " -o /dev/stdout q.pkg >out.img").status, 0);
    EXPECT_TRUE(testutil::ReadText(m_dir / "out.img") == m_image);
}

// No writer replaces one of its inputs, the keys included, however the output is named;
// a stream gets the image in a second pass, and a package rewritten after the first
// (its time stamp put back) is "changed while it was read", never a verdict.
TEST_F(PackageTools, InputsAreNeverOutputsAndStreamsGetWhatWasVerified) {
    ASSERT_EQ(Shell("head -c 16M /dev/urandom >big && ln -s k.pem link && mkfifo f && " +
                    Quote(PKGSTAMP_PATH) + " 1 big b.pkg >/dev/null && " + Quote(PKGSIGN_PATH) +
                    " -k k.pem -o s.pkg b.pkg >/dev/null")
                  .status,
              0);
    const std::string pem = testutil::ReadText(m_dir / "k.pem");
    const std::string pub = testutil::ReadText(m_dir / "k.pub");
    // The consumer reads the first bytes of the second pass, then rewrites the end.
    const std::string rewrite =
        "{ exec 3<f; head -c 1 <&3 >/dev/null; cp -p P ref; dd if=/dev/zero of=P bs=1 count=16"
        " seek=$(($(stat -c %s P) - 16)) conv=notrunc 2>/dev/null; touch -r ref P; cat <&3 "
        ">/dev/null;"
        " } & ";
    const std::pair<std::string, std::string> rows[] = {
        {"pkgsign -k k.pem -o k.pem p.pkg", "pkgsign: k.pem: is the key itself"},
        {"pkgsign -k k.pem -o link p.pkg", "pkgsign: link: is the key itself"},
        {"pkgcheck -k k.pub -o k.pub s.pkg", "pkgcheck: k.pub: is the key itself"},
        {"pkgcheck -o s.pkg s.pkg", "pkgcheck: s.pkg: is the package itself"},
        {"pkgcheck -k k.pub -o /dev/stdout s.pkg >>k.pub",
         "pkgcheck: /dev/stdout: is the key itself"},
        {std::regex_replace(rewrite, std::regex("P"), "s.pkg") + "pkgcheck -k k.pub -o f s.pkg",
         "pkgcheck: s.pkg: changed while it was read"},
        {std::regex_replace(rewrite, std::regex("P"), "b.pkg") + "pkgsign -k k.pem -o f b.pkg",
         "pkgsign: b.pkg: changed while it was read"}};
    const std::string dir =
        std::string(PKGSIGN_PATH).substr(0, std::string(PKGSIGN_PATH).rfind('/'));
    for (const auto& [command, err] : rows) {
        const RunResult r =
            Shell("PATH=" + Quote(dir) + ":$PATH; " + command + "; s=$?; wait; exit $s");
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_EQ(r.err, err + "\n") << command;
    }
    EXPECT_EQ(testutil::ReadText(m_dir / "k.pem"), pem);
    EXPECT_EQ(testutil::ReadText(m_dir / "k.pub"), pub);
}

#endif

}  // namespace
