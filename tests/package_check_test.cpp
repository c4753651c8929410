// Tests of package signing and checking: the library's checker over packages in
// memory, and pkgsign/pkgcheck end to end, with the openssl command line as the
// other side of every signature.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CChunkIndex.h"
#include "CHeaderFile.h"
#include "CFileBuffer.h"
#include "CInputFile.h"
#include "CPackageCheck.h"
#include "CPackageEncoder.h"
#include "CPackageSigner.h"
#include "CPackageStamper.h"
#include "CPackageStream.h"
#include "CPkcs11Uri.h"
#include "CSha256.h"
#include "Output.h"
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

// The package signed by each of `keys` over one message, with `lines` added.
std::string SignedBy(const std::vector<const CEd25519Key*>& keys,
                     const std::vector<CPackageHeader::Line>& lines = {}) {
    const std::string image = "abc";
    MemoryBuffer buffer(testutil::ToBytes(Unsigned(image)));
    CPackageHeader header;
    EXPECT_EQ(header.Read(buffer), PackageError::Ok);
    for (const auto& [name, value] : lines)
        EXPECT_TRUE(header.SetLine(name, value));
    const std::string sha256 = CSha256::Hex(CSha256::Of(image.data(), image.size()));
    CPackageSigner::Request request;
    for (const CEd25519Key* key : keys)
        request.keys.push_back({key->KeyId(), key});
    CPackageSigner signer(request);
    std::string block;
    EXPECT_EQ(signer.SignHeader(header, sha256, block).error, PackageError::Ok);
    return block + image;
}

// Runs the check with a sink that counts what it is handed.
PackageError CheckCounting(const std::string& package, CPackageCheck& check, size_t& handedOn) {
    MemoryBuffer buffer(testutil::ToBytes(package));
    handedOn = 0;
    check.SetImageSink([&](const uint8_t*, size_t size) {
        handedOn += size;
        return true;
    });
    return check.Run(buffer).error;
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
    {"one byte short", [](auto p) { return p.substr(0, p.size() - 1); }, 1, PackageError::CutShort,
     8},
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
        if (c.error != PackageError::Ok && c.error != PackageError::ImageMismatch &&
            c.error != PackageError::CutShort) {
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
            if (error != PackageError::Ok && error != PackageError::ImageMismatch &&
                error != PackageError::CutShort) {
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
    std::vector<const CEd25519Key*> eight;
    std::vector<CEd25519Key> keys(CPackageSignature::kMaxEntries);
    for (CEd25519Key& key : keys) {
        key = CEd25519Key::Generate();
        eight.push_back(&key);
    }
    const std::string packages[] = {Unsigned(image), Signed(m_signer, image), SignedBy(eight)};
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
        // The signature line, however many entries it holds, reads whole everywhere.
        CPackageHeader strict;
        ASSERT_EQ(strict.Read(buffer), PackageError::Ok);
        const std::string* signature = strict.Find("signature");
        EXPECT_EQ(header.GetHeader("signature"), signature != nullptr ? *signature : "");
        EXPECT_EQ(view.GetHeader("signature"), header.GetHeader("signature"));
    }
}

TEST_F(PackageCheck, ThresholdsCountDistinctKeysGiven) {
    const CEd25519Key third = CEd25519Key::Generate();
    const CEd25519Key* const a = &m_signer;
    const CEd25519Key* const b = &m_other;
    const CEd25519Key* const c = &third;
    struct Row {
        std::vector<const CEd25519Key*> signers;
        std::vector<const CEd25519Key*> given;
        unsigned threshold;
        State state;
    } rows[] = {
        {{a, b}, {a, b}, 1, State::Verified},    {{a, b}, {a, b}, 2, State::Verified},
        {{a, b}, {a, b, c}, 3, State::TooFew},   {{a, b, c}, {a, b, c}, 3, State::Verified},
        {{a, b, c}, {a, c}, 2, State::Verified}, {{a, b, c}, {a}, 1, State::Verified},
        {{a, b}, {c}, 1, State::UnknownKey},     {{a}, {a, a, b}, 2, State::TooFew},
        {{a, b, c}, {}, 1, State::Unverified},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.signers.size()) + " signers, threshold " +
                     std::to_string(row.threshold) + ", " + std::to_string(row.given.size()) +
                     " keys");
        CPackageCheck check;
        for (const CEd25519Key* key : row.given)
            check.AddKey(*key);
        check.Trust().SetThreshold(row.threshold);
        size_t handedOn = 0;
        const bool ok = row.state == State::Verified || row.state == State::Unverified;
        EXPECT_EQ(CheckCounting(SignedBy(row.signers), check, handedOn),
                  ok ? PackageError::Ok : PackageError::BadSignature);
        EXPECT_EQ(check.GetResult().trust.signature, row.state);
        EXPECT_EQ(check.GetResult().trust.signers.size(), row.signers.size());
        EXPECT_EQ(handedOn, ok ? 3u : 0u);
    }
    // One entry by a key given that does not verify spoils the line.
    const std::string good = SignedBy({a, b});
    const std::string bSignature = CPackageSignature(b->KeyId(), std::string(64, 'x')).Value();
    const size_t at = good.find("ed25519:" + b->KeyId());
    CPackageCheck check;
    check.AddKey(*a);
    check.AddKey(*b);
    size_t handedOn = 0;
    EXPECT_EQ(CheckCounting(std::string(good).replace(at, bSignature.size(), bSignature), check,
                            handedOn),
              PackageError::BadSignature);
    EXPECT_EQ(check.GetResult().trust.signature, State::Bad);
    // The key named is the one whose signature failed, though another verified.
    EXPECT_EQ(check.GetResult().trust.keyId, b->KeyId());
}

TEST_F(PackageCheck, PolicyRefusesBeforeTheImageIsRead) {
    const uint32_t v241 = 0x02040001;
    struct Row {
        const char* what;
        std::vector<CPackageHeader::Line> lines;
        std::function<void(CPackageTrust&)> policy;
        const char* refused;  // empty: accepted
    } rows[] = {
        {"no policy", {}, [](CPackageTrust&) {}, ""},
        {"same product",
         {{"compatible", "board-a"}},
         [](auto& t) { t.SetCompatible("board-a"); },
         ""},
        {"other product",
         {{"compatible", "board-b"}},
         [](auto& t) { t.SetCompatible("board-a"); },
         "compatible"},
        {"no product", {}, [](auto& t) { t.SetCompatible("board-a"); }, "compatible"},
        // A blank name, as an unset variable gives, names no board and passes none.
        {"blank product",
         {{"compatible", "board-a"}},
         [](auto& t) { EXPECT_FALSE(t.SetCompatible(" \t")); },
         "compatible"},
        {"version 7 below 2.4.1", {}, [&](auto& t) { t.SetMinimumVersion(v241); }, "version"},
        {"version 7 at minimum 7", {}, [](auto& t) { t.SetMinimumVersion(7); }, ""},
        {"not yet expired",
         {{"expires", "2030-01-01T00:00:00Z"}},
         [](auto& t) { t.SetTime(1893455999); },
         ""},
        {"expired that second",
         {{"expires", "2030-01-01T00:00:00Z"}},
         [](auto& t) { t.SetTime(1893456000); },
         "expires"},
        {"expires not a time", {{"expires", "2030-01-01"}}, [](CPackageTrust&) {}, "expires"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CPackageCheck check;
        check.AddKey(m_signer);
        row.policy(check.Trust());
        size_t handedOn = 0;
        const bool ok = *row.refused == '\0';
        EXPECT_EQ(CheckCounting(SignedBy({&m_signer}, row.lines), check, handedOn),
                  ok ? PackageError::Ok : PackageError::RefusedByPolicy);
        EXPECT_EQ(check.GetResult().trust.policyRefused, row.refused);
        EXPECT_EQ(check.GetResult().trust.policyReason.empty(), ok);
        EXPECT_EQ(handedOn, ok ? 3u : 0u);
    }
}

// Signing in the library: a package of 300 KiB signed into a file and into a
// pipe, and the requests and packages the signer refuses.
class PackageSigner : public testing::Test {
  protected:
    void SetUp() override {
        const Bytes image = testutil::RandomBytes(300 * 1024, 31);
        m_image.assign(image.begin(), image.end());
        testutil::WriteText(m_dir / "p.pkg", Unsigned(m_image, Md5(m_image)));
    }

    CPackageSigner::Result Sign(const CPackageSigner::Request& request, const std::string& from,
                                const std::string& to) {
        CInputFile package(m_dir / from);
        Core::File::Output output(to);
        EXPECT_TRUE(output.Open()) << output.Cause();
        CPackageSigner signer(request);
        return signer.Run(package, output);
    }

    // The package `from` signed into a pipe, as its reader got it.
    std::string SignIntoPipe(const CPackageSigner::Request& request, const std::string& from) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        std::string got;
        std::thread reader([&] {
            char chunk[65536];
            for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;)
                got.append(chunk, static_cast<size_t>(n));
        });
        EXPECT_EQ(Sign(request, from, "/dev/fd/" + std::to_string(fds[1])).error, PackageError::Ok);
        close(fds[1]);
        reader.join();
        close(fds[0]);
        return got;
    }

    PackageError Verify(const std::string& package, std::vector<const CEd25519Key*> keys) {
        MemoryBuffer buffer(testutil::ToBytes(package));
        CPackageCheck check;
        for (const CEd25519Key* key : keys)
            check.AddKey(*key);
        check.Trust().SetThreshold(static_cast<unsigned>(keys.size()));
        return check.Run(buffer).error;
    }

    // Signs p.pkg by key one into s.pkg with an index of 64 KiB chunks; the index.
    std::string SignIndexed() {
        CPackageSigner::Request request{{{"one", &m_one}}, "", "", false, {}, false, {}};
        request.chunk = 65536;
        Core::File::Output index(m_dir / "s.pkg.index");
        EXPECT_TRUE(index.Open());
        request.indexOutput = &index;
        EXPECT_EQ(Sign(request, "p.pkg", m_dir / "s.pkg").error, PackageError::Ok);
        return testutil::ReadText(m_dir / "s.pkg.index");
    }

    TempDir m_dir;
    std::string m_image;
    CEd25519Key m_one = CEd25519Key::Generate();
    CEd25519Key m_two = CEd25519Key::Generate();
};

TEST_F(PackageSigner, SignsIntoAFileAndIntoAStreamAlike) {
    const CPackageSigner::Request request{
        {{"one", &m_one}, {"two", &m_two}}, "board-a", "", false, {}, false, {}};
    const CPackageSigner::Result result = Sign(request, "p.pkg", m_dir / "s.pkg");
    ASSERT_EQ(result.error, PackageError::Ok);
    EXPECT_EQ(result.keyIds, (std::vector<std::string>{m_one.KeyId(), m_two.KeyId()}));
    const std::string signedFile = testutil::ReadText(m_dir / "s.pkg");
    EXPECT_EQ(Verify(signedFile, {&m_one, &m_two}), PackageError::Ok);
    EXPECT_NE(signedFile.find("compatible: board-a\n"), std::string::npos);
    EXPECT_EQ(signedFile.substr(signedFile.size() - m_image.size()), m_image);
    // Ed25519 signatures are deterministic: the stream gets the very same bytes.
    EXPECT_TRUE(SignIntoPipe(request, "p.pkg") == signedFile);

    // Keeping the signatures of another key, and signing again over its own.
    ASSERT_EQ(Sign({{{"one", &m_one}}, "", "", false, {}, false, {}}, "p.pkg", m_dir / "a.pkg").error,
              PackageError::Ok);
    ASSERT_EQ(Sign({{{"two", &m_two}, {"one", &m_one}}, "", "", true, {}, false, {}}, "a.pkg",
                   m_dir / "b.pkg")
                  .error,
              PackageError::Ok);
    EXPECT_EQ(Verify(testutil::ReadText(m_dir / "b.pkg"), {&m_one, &m_two}), PackageError::Ok);
}

// A package signed with a chunk index: a stream given the index hands on only
// chunks that matched it, so a damaged chunk and all after it never reach the
// sink; an index that is not the one the header names stops the stream first.
TEST_F(PackageSigner, ChunkIndexKeepsADamagedChunkFromTheSink) {
    const std::string good = SignIndexed();
    ASSERT_EQ(good.size(), 5u * 32 + 75 * 8);  // 300 KiB in 64 KiB chunks, hints of 4 KiB blocks
    std::string package = testutil::ReadText(m_dir / "s.pkg");
    EXPECT_EQ(Verify(package, {&m_one}), PackageError::Ok);  // read as before without the index
    package[package.size() - m_image.size() + 2 * 65536 + 5] ^= 1;
    struct Case {
        const char* name;
        std::string index;
        PackageError error;
        size_t handed;
    } cases[] = {{"damaged chunk 2", good, PackageError::ImageMismatch, 2 * 65536},
                 {"index changed", good.substr(0, 32 * 4) + std::string(32, 'x') + good.substr(32 * 5),
                  PackageError::AttachmentMismatch, 0}};
    for (const Case& c : cases) {
        CPackageStream stream;
        stream.AddKey(m_one);
        size_t handed = 0;
        stream.SetImageSink([&](const uint8_t*, size_t size) { return (handed += size) > 0; });
        stream.SetAttachments([&](const std::string&, uint64_t, std::string& data, std::string&) {
            data = c.index;
            return PackageError::Ok;
        });
        for (size_t at = 0; at < package.size(); at += 10000)
            stream.Feed(package.data() + at, std::min<size_t>(10000, package.size() - at));
        EXPECT_EQ(stream.Finish().error, c.error) << c.name;
        EXPECT_EQ(handed, c.handed) << c.name;
    }
}

// The index as signed holds a hint of every 4 KiB block after the digests
// (a short last block hashed as it is); an index without index-block is read
// as digests alone, and lines that do not fit the index are refused.
TEST_F(PackageSigner, ChunkIndexHintsRoundTripAndBadLayoutsAreRefused) {
    const std::string hinted = SignIndexed();
    const std::string digests = hinted.substr(0, 5 * 32);
    MemoryBuffer buffer(testutil::ToBytes(testutil::ReadText(m_dir / "s.pkg")));
    CPackageHeader signedHeader;
    ASSERT_EQ(signedHeader.Read(buffer), PackageError::Ok);
    const struct {
        const char* name;
        const char* block;  // index-block; null: none
        std::string index;
        PackageError error;
        const char* problem;
    } rows[] = {
        {"as signed", "4096", hinted, PackageError::Ok, ""},
        {"digests alone", nullptr, digests, PackageError::Ok, ""},
        {"another block size", "8192", hinted, PackageError::NotAPackage,
         "index-block: '8192' is not 4096"},
        {"hints without index-block", nullptr, hinted, PackageError::NotAPackage,
         "index-size: not 160 for 307200 bytes in chunks of 65536"},
        {"index-block without hints", "4096", digests, PackageError::NotAPackage,
         "index-size: not 760 for 307200 bytes in chunks of 65536 with block hints"},
    };
    for (const auto& row : rows) {
        CPackageHeader header = signedHeader;
        header.RemoveLine(CChunkIndex::kBlockLine);
        if (row.block != nullptr)
            header.SetLine(CChunkIndex::kBlockLine, row.block);
        header.SetLine("index-size", std::to_string(row.index.size()));
        header.SetLine("index-sha256", CSha256::Hex(CSha256::Of(row.index.data(), row.index.size())));
        CChunkIndex index;
        EXPECT_EQ(index.Take(header, row.index), row.error) << row.name;
        EXPECT_EQ(index.Problem(), row.problem) << row.name;
        if (row.error != PackageError::Ok)
            continue;
        EXPECT_EQ(index.Count(), 5u) << row.name;
        EXPECT_EQ(index.DigestOf(4), CSha256::Of(m_image.data() + 4 * 65536, m_image.size() - 4 * 65536));
        EXPECT_EQ(index.Blocks(), row.block != nullptr ? 75u : 0u) << row.name;
        for (uint64_t block = 0; block < index.Blocks(); ++block)
            ASSERT_EQ(index.HintOf(block), CChunkIndex::Hint(m_image.data() + block * 4096,
                                                             std::min<size_t>(4096, m_image.size() - block * 4096)));
    }
    CChunkIndex::Builder builder(65536);
    builder.Update(reinterpret_cast<const uint8_t*>(m_image.data()), 5000);
    const std::string small = builder.Finish();
    ASSERT_EQ(small.size(), 32u + 2 * 8);
    EXPECT_EQ(small.substr(40), CSha256::Of(m_image.data() + 4096, 904).substr(0, 8));
}

TEST_F(PackageSigner, RefusesNamingTheInputToBlameAndWritesNothing) {
    using Culprit = CPackageSigner::Culprit;
    testutil::WriteText(m_dir / "short.pkg", Unsigned(m_image.substr(1), Md5(m_image)));
    ASSERT_EQ(Sign({{{"one", &m_one}}, "", "", false, {}, false, {}}, "p.pkg", m_dir / "one.pkg").error,
              PackageError::Ok);
    // A planted entry: key one's id, a signature of another message.
    const std::string signedOne = testutil::ReadText(m_dir / "one.pkg");
    const size_t at = signedOne.find("ed25519:") + 8 + 16 + 1 + 40;
    testutil::WriteText(
        m_dir / "planted.pkg",
        signedOne.substr(0, at) + (signedOne[at] == 'A' ? "B" : "A") + signedOne.substr(at + 1));
    const std::string one = m_one.KeyId();
    const CEd25519Key copy = CEd25519Key::FromPem(m_one.PrivatePem());
    std::vector<CEd25519Key> many(CPackageSignature::kMaxEntries + 1);
    CPackageSigner::Request tooMany;
    for (CEd25519Key& key : many) {
        key = CEd25519Key::Generate();
        tooMany.keys.push_back({key.KeyId(), &key});
    }
    const struct {
        const char* what;
        CPackageSigner::Request request;
        const char* package;
        PackageError error;
        Culprit culprit;
        std::string problem;  // its start
    } rows[] = {
        {"one key twice",
         {{{"one", &m_one}, {"copy", &copy}}, "", "", false, {}, false, {}},
         "p.pkg",
         PackageError::DuplicateKey,
         Culprit::Key,
         "signs with key " + m_one.KeyId() + " as one"},
        {"an image one byte short",
         {{{"one", &m_one}}, "", "", false, {}, false, {}},
         "short.pkg",
         PackageError::ImageMismatch,
         Culprit::Package,
         "md5 does not match the image"},
        {"no package",
         {{{"one", &m_one}}, "", "", false, {}, false, {}},
         "none.pkg",
         PackageError::ReadFailed,
         Culprit::Package,
         "No such file or directory"},
        {"kept signatures over a changed line",
         {{{"two", &m_two}}, "board-b", "", true, {}, false, {}},
         "one.pkg",
         PackageError::KeptVoid,
         Culprit::Package,
         "--add: its compatible line"},
        {"a kept signature by no key given",
         {{{"two", &m_two}}, "", "", true, {}, false, {}},
         "one.pkg",
         PackageError::KeptVoid,
         Culprit::Package,
         "--add: the signature by key " + one + " cannot be checked"},
        {"a kept signature that does not verify",
         {{{"two", &m_two}}, "", "", true, {m_one}, false, {}},
         "planted.pkg",
         PackageError::KeptVoid,
         Culprit::Package,
         "--add: the signature by key " + one + " does not verify"},
        {"more keys than a line holds", tooMany, "p.pkg", PackageError::TooManySignatures,
         Culprit::Package, "a package carries at most 8"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const CPackageSigner::Result result = Sign(row.request, row.package, m_dir / "out.pkg");
        EXPECT_EQ(result.error, row.error);
        EXPECT_EQ(result.culprit, row.culprit);
        EXPECT_EQ(result.key, row.culprit == Culprit::Key ? 1u : 0u);
        ASSERT_FALSE(result.problems.empty());
        EXPECT_EQ(result.problems.front().substr(0, row.problem.size()), row.problem);
        EXPECT_FALSE(testutil::Exists(m_dir / "out.pkg"));
    }
    const CPackageSigner::Result dropped =
        Sign({{{"two", &m_two}}, "", "", true, {m_one}, true, {}}, "planted.pkg", m_dir / "out.pkg");
    EXPECT_EQ(dropped.error, PackageError::Ok);
    EXPECT_EQ(dropped.dropped, std::vector<std::string>{one});
    EXPECT_EQ(Verify(testutil::ReadText(m_dir / "out.pkg"), {&m_two}), PackageError::Ok);
}

TEST(Pkcs11Uri, ReadsWhatSelectsAKeyAndRefusesTheRest) {
    CPkcs11Uri uri;
    std::string problem;
    ASSERT_TRUE(
        uri.Parse("pkcs11:token=My%20HSM;object=fw;id=%01%ff?pin-source=file:/run/pin"
                  "&module-path=/m.so",
                  problem))
        << problem;
    EXPECT_EQ(uri.token, "My HSM");
    EXPECT_EQ(uri.object, "fw");
    EXPECT_EQ(uri.id, std::string("\x01\xff"));
    EXPECT_EQ(uri.pinSource, "/run/pin");
    EXPECT_EQ(uri.modulePath, "/m.so");
    for (const char* bad :
         {"pkcs11:token=a?pin-value=1234", "pkcs11:token=a;token=b", "pkcs11:object=%4",
          "pkcs11:slot-id=1", "pkcs11:type=cert", "pkcs11:object=fw;type=public",
          "pkcs11:type=secret-key", "pkcs11:token", "file:key.pem"}) {
        EXPECT_FALSE(uri.Parse(bad, problem)) << bad;
        EXPECT_FALSE(problem.empty()) << bad;
    }
}

TEST(Keyring, TakesPublicKeysAloneAndAllOfThem) {
    const CEd25519Key a = CEd25519Key::Generate();
    const CEd25519Key b = CEd25519Key::Generate();
    std::string problem;
    const std::vector<CEd25519Key> ring =
        CEd25519Key::KeyringFromPem(a.PublicPem() + "\n" + b.PublicPem(), problem);
    ASSERT_EQ(ring.size(), 2u) << problem;
    EXPECT_EQ(ring[1].KeyId(), b.KeyId());
    for (const std::string& bad : {a.PublicPem() + b.PrivatePem(), std::string("no key")}) {
        EXPECT_TRUE(CEd25519Key::KeyringFromPem(bad, problem).empty());
        EXPECT_FALSE(problem.empty());
    }
    // A key is one key: text of several is a keyring, never its first key.
    for (const std::string& several : {a.PublicPem() + b.PublicPem(), a.PrivatePem() + b.PublicPem()})
        EXPECT_FALSE(CEd25519Key::FromPem(several).Valid());
    EXPECT_EQ(CEd25519Key::FromPem(a.PrivatePem()).KeyId(), a.KeyId());
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
        for (const std::string args : {"", "-x p.pkg", "-k", "-k k.pem p.pkg p.pkg",
                                       "--compatible '' p.pkg", "--compatible ' ' p.pkg"}) {
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
                {good.substr(0, good.size() - 1), "-k k.pub", 8},
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
        // A package cut short reports its size alone: its digests never were complete.
        const std::string cut = std::to_string(m_image.size() - 1) + " of " +
                                std::to_string(m_image.size()) + " image bytes";
        if (row.status == 8) {
            EXPECT_EQ(json["checks"].size(), 1u);
            EXPECT_EQ(json["problem"], cut);
        }

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

        // The C API's client, given k.pub, reads the same from a pipe; its
        // output file appears only when every check passed.
        if (row.keys != "-k k.pub")
            continue;
        const RunResult client =
            Shell("cat c.pkg | " + Quote(CAPI_STREAM_PATH) + " k.pub client.img client.out");
        EXPECT_EQ(client.status, row.status) << client.out;
        EXPECT_EQ(client.out.find("cut short: " + cut) != std::string::npos, row.status == 8);
        EXPECT_EQ(testutil::Exists(m_dir / "client.out"), row.status == 0);
        if (row.status == 0) {
            EXPECT_TRUE(testutil::ReadText(m_dir / "client.img") == m_image);
            EXPECT_TRUE(testutil::ReadText(m_dir / "client.out") == m_image);
            EXPECT_NE(client.out.find("starts 1, " + std::to_string(m_image.size()) + " of "),
                      std::string::npos);
        }
        unlink((m_dir / "client.out").c_str());
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
#ifndef FWKIT_SANITIZED  // the sanitizers' own memory is not the program's
    // KiB; an emulator's own memory is what it takes to check the small package.
    long emulator = 0;
    if (testutil::kEmulated &&
        Shell("/usr/bin/time -f %M -o base " + check + " -o /dev/null p.pkg").status == 0)
        emulator = std::stol(testutil::ReadText(m_dir / "base"));
    EXPECT_LT(std::stol(testutil::ReadText(m_dir / "peak")), emulator + 16 * 1024);
#endif
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
    // "-" is standard output, as /dev/stdout is.
    ASSERT_EQ(Shell(Quote(PKGSIGN_PATH) + " -k o.pem -o - p.pkg >q.pkg").status, 0);
    EXPECT_EQ(Check("-k k.pub q.pkg").status, 4);
    const std::string signedTwice = testutil::ReadText(m_dir / "q.pkg");
    EXPECT_EQ(signedTwice.find("signature:"), signedTwice.rfind("signature:"));
    EXPECT_EQ(Shell(Quote(PKGCHECK_PATH) + " -o - q.pkg >out.img").status, 0);
    EXPECT_TRUE(testutil::ReadText(m_dir / "out.img") == m_image);
    EXPECT_FALSE(testutil::Exists(m_dir / "-"));
}

// A SoftHSM 2 token "release" (user PIN in the file "pin") in the scratch
// directory; its configuration reaches the commands through the environment
// of each command alone. Empty when SoftHSM is not installed.
std::string TokenEnvironment(const TempDir& dir) {
    const std::string conf = dir / "softhsm2.conf";
    testutil::WriteText(conf, "directories.tokendir = " + (dir / "tokens") +
                                  "\nobjectstore.backend = file\nlog.level = ERROR\n");
    testutil::WriteText(dir / "pin", "1234\n");
    // SoftHSM itself leaks inside C_SignInit; LeakSanitizer would fail our program for it.
    const std::string env = "SOFTHSM2_CONF=" + Quote(conf) + " ASAN_OPTIONS=detect_leaks=0 ";
    const RunResult made = testutil::Run(
        "mkdir tokens && " + env +
            "softhsm2-util --init-token --free --label release --pin 1234 --so-pin 5678",
        dir.Path());
    return made.status == 0 ? env : std::string();
}

TEST_F(PackageTools, SignsWithAKeyMadeInAToken) {
    if (testutil::kForeignHost)
        GTEST_SKIP() << "SoftHSM's module is built for this machine, not for the programs' host";
    const std::string env = TokenEnvironment(m_dir);
    if (env.empty())
        GTEST_SKIP() << "SoftHSM 2 is not installed";
    const std::string uri = Quote("pkcs11:token=release;object=fw?pin-source=file:pin");
    const RunResult made = Shell(env + Quote(PKGSIGN_PATH) + " -g " + uri);
    ASSERT_EQ(made.status, 0) << made.err;
    const RunResult again = Shell(env + Quote(PKGSIGN_PATH) + " -g " + uri);
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("a key is never replaced"), std::string::npos) << again.err;
    const std::string plain = Quote("pkcs11:token=release;object=fw");
    // The public key is read without logging in: no PIN is asked for.
    const RunResult pub = Shell(env + Quote(PKGSIGN_PATH) + " --public " + plain + " >t.pub");
    ASSERT_EQ(pub.status, 0) << pub.err;
    const RunResult signedNow =
        Shell(env + Quote(PKGSIGN_PATH) + " -k " + plain + " --pin-file pin p.pkg");
    ASSERT_EQ(signedNow.status, 0) << signedNow.err;
    EXPECT_EQ(signedNow.out, "p.pkg: signed with key " + made.out.substr(0, 16) + "\n");
    ASSERT_EQ(Shell("sed -n '1,/^$/p' p.pkg | grep -v '^signature: ' >msg && "
                    "sed -n 's/^signature: ed25519:[0-9a-f]*://p' p.pkg | base64 -d >sig")
                  .status,
              0);
    EXPECT_EQ(
        Shell("openssl pkeyutl -verify -pubin -inkey t.pub -rawin -in msg -sigfile sig").status, 0);
    EXPECT_EQ(Check("-k t.pub p.pkg").status, 0);
    // Without its PIN the token does not sign, and the package is left as it was.
    const std::string before = testutil::ReadText(m_dir / "p.pkg");
    const RunResult noPin = Shell(env + Quote(PKGSIGN_PATH) + " -k " + plain + " p.pkg");
    EXPECT_EQ(noPin.status, 1);
    EXPECT_NE(noPin.err.find("needs a PIN"), std::string::npos) << noPin.err;
    EXPECT_TRUE(testutil::ReadText(m_dir / "p.pkg") == before);
}

// An encrypted PEM key signs with its passphrase from --pass-file, never
// prompting; without it, or with a wrong one, the key file is named and the
// package left as it was. An expiry already past is signed only with --force.
TEST_F(PackageTools, EncryptedKeysAndPastExpiries) {
    ASSERT_EQ(Shell("openssl pkey -in k.pem -aes256 -passout pass:secret -out e.pem && "
                    "echo secret >pass && echo wrong >bad")
                  .status,
              0);
    const std::string before = testutil::ReadText(m_dir / "p.pkg");
    const struct {
        const char* args;
        int status;
        const char* err;
    } rows[] = {
        {"-k e.pem -o s.pkg p.pkg", 1,
         "pkgsign: e.pem: an encrypted private key; give its passphrase with --pass-file FILE\n"},
        {"-k e.pem --pass-file bad -o s.pkg p.pkg", 1,
         "pkgsign: e.pem: the passphrase of --pass-file does not decrypt it\n"},
        {"-k e.pem --pass-file pass -o s.pkg p.pkg", 0, ""},
        {"-k k.pem --expires 2001-01-01T00:00:00Z --force -o s.pkg p.pkg", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        unlink((m_dir / "s.pkg").c_str());
        const RunResult r = Sign(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(testutil::Exists(m_dir / "s.pkg"), row.status == 0);
        EXPECT_TRUE(testutil::ReadText(m_dir / "p.pkg") == before);
    }
    EXPECT_EQ(Check("-k k.pub --at 2000-01-01T00:00:00Z s.pkg").status, 0);
    EXPECT_EQ(Shell(Quote(FWKIT_PATH) + " delta -k e.pem --pass-file pass -o d.pkg p.pkg && " +
                    Quote(PKGCHECK_PATH) + " -k k.pub d.pkg")
                  .status,
              0);
}

TEST_F(PackageTools, TwoStepSigningWithOpenssl) {
    ASSERT_EQ(Sign("--message-out msg --compatible board-a p.pkg").status, 0);
    ASSERT_EQ(Shell("openssl pkeyutl -sign -inkey k.pem -rawin -in msg -out sig").status, 0);
    const std::string unsignedPackage = testutil::ReadText(m_dir / "p.pkg");
    // A signature over another header (here: without the compatible line) is refused.
    const RunResult wrong = Sign("--attach sig --public k.pub -o s.pkg p.pkg");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_FALSE(testutil::Exists(m_dir / "s.pkg"));
    const RunResult attached =
        Sign("--attach sig --public k.pub --compatible board-a -o s.pkg p.pkg");
    ASSERT_EQ(attached.status, 0) << attached.err;
    EXPECT_EQ(Check("-k k.pub --compatible board-a s.pkg").status, 0);
    const std::string package = testutil::ReadText(m_dir / "s.pkg");
    EXPECT_EQ(package.substr(0, package.find("signature: ")) + "version: 7\n\n",
              testutil::ReadText(m_dir / "msg"));
    EXPECT_TRUE(testutil::ReadText(m_dir / "p.pkg") == unsignedPackage);
}

TEST_F(PackageTools, SeveralSignaturesAndThresholds) {
    ASSERT_EQ(Sign("-g b").status, 0);
    ASSERT_EQ(Sign("-g c").status, 0);
    ASSERT_EQ(Sign("-k k.pem -k b.pem p.pkg").status, 0);
    ASSERT_EQ(Shell("cat k.pub b.pub c.pub >ring").status, 0);
    EXPECT_EQ(Check("--keyring ring --threshold 2 p.pkg").status, 0);
    EXPECT_EQ(Check("--keyring ring --threshold 3 p.pkg").status, 4);
    // A key file of several keys is a keyring: never only its first key.
    ASSERT_EQ(Shell("cat k.pem b.pem >two.pem").status, 0);
    for (const auto& [tool, args] :
         {std::pair{PKGCHECK_PATH, "-k ring p.pkg"}, std::pair{PKGSIGN_PATH, "-k two.pem p.pkg"}}) {
        const RunResult several = Tool(tool, args, m_dir);
        EXPECT_EQ(several.status, 1) << args;
        EXPECT_NE(several.err.find("holds several keys"), std::string::npos) << several.err;
    }
    EXPECT_NE(Check("-k ring p.pkg").err.find("--keyring"), std::string::npos);
    const RunResult changing = Sign("--add -k c.pem --compatible x p.pkg");
    EXPECT_EQ(changing.status, 1);
    EXPECT_NE(changing.err.find("compatible line would change"), std::string::npos) << changing.err;
    const RunResult unchecked = Sign("--add -k c.pem p.pkg");
    EXPECT_EQ(unchecked.status, 1);
    EXPECT_NE(unchecked.err.find("give its public key with --keyring"), std::string::npos);
    ASSERT_EQ(Sign("--add --keyring ring -k c.pem p.pkg").status, 0);
    const RunResult three = Check("--keyring ring --threshold 3 -j p.pkg");
    EXPECT_EQ(three.status, 0) << three.out;
    EXPECT_NE(three.out.find("\"verified\": 3"), std::string::npos) << three.out;
    EXPECT_EQ(Check("-k k.pub -k c.pub --threshold 3 p.pkg").status, 1);  // too few keys given
}

// Signers adding to one package at once each wait for the one before: no
// signature is lost, and each exits 0.
TEST_F(PackageTools, SimultaneousAddsKeepEverySignature) {
    ASSERT_EQ(Sign("-k k.pem p.pkg").status, 0);
    const RunResult added =
        Shell("for k in b c d e; do " + Quote(PKGSIGN_PATH) +
              " -g $k >/dev/null || exit 1; done; "
              "cat k.pub b.pub c.pub d.pub e.pub >ring && for k in b c d e; do " +
              Quote(PKGSIGN_PATH) +
              " --add --keyring ring -k $k.pem p.pkg >/dev/null & "
              "pids=\"$pids $!\"; done; for p in $pids; do wait $p || exit 1; done");
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(Check("--keyring ring --threshold 5 p.pkg").status, 0);
}

TEST_F(PackageTools, PolicyRefusalsHaveStatusSixTextAndJson) {
    ASSERT_EQ(Sign("-k k.pem --compatible board-a --expires 2030-01-01T00:00:00Z p.pkg").status, 0);
    struct Row {
        const char* options;
        const char* reason;  // in the policy line and the JSON; empty: accepted
    } rows[] = {
        {"--compatible board-a --min-version 0.0.7 --at 2029-12-31T23:59:59Z", ""},
        {"--compatible board-b", "compatible is board-a; this device is board-b"},
        {"--min-version 2.4.1", "version 7 (0.0.7) is below the minimum 33816577 (2.4.1)"},
        {"--at 2030-01-01T00:00:00Z", "expired at 2030-01-01T00:00:00Z"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.options);
        const bool ok = *row.reason == '\0';
        const RunResult text = Check(std::string("-k k.pub -o out.img ") + row.options + " p.pkg");
        EXPECT_EQ(text.status, ok ? 0 : 6) << text.out << text.err;
        EXPECT_NE(text.out.find(ok ? "p.pkg: policy ok\n" : "p.pkg: policy FAILED: "),
                  std::string::npos)
            << text.out;
        EXPECT_NE(text.out.find(row.reason), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("p.pkg: version: 7 (0.0.7)\n"), std::string::npos);
        EXPECT_EQ(testutil::Exists(m_dir / "out.img"), ok);
        unlink((m_dir / "out.img").c_str());
        const nlohmann::json doc =
            nlohmann::json::parse(Check(std::string("-j -k k.pub ") + row.options + " p.pkg").out);
        EXPECT_EQ(doc["status"], ok ? 0 : 6);
        EXPECT_EQ(doc["policy"]["ok"], ok);
        EXPECT_NE(doc["policy"]["reason"].dump().find(row.reason), std::string::npos);
        EXPECT_EQ(doc["version"]["build"], 7);
    }
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

#ifdef FWKIT_PATH
// fwkit delta makes a signed delta and a compressed package; pkgcheck and fwkit
// check rebuild the image from a file and from a stream. A base that does not
// match (7) or a damaged payload (3) leaves no image behind.
TEST_F(PackageTools, DeltaIsMadeSignedAndApplied) {
    std::string base = m_image;
    base.replace(1000, 5000, 5000, 'b');
    testutil::WriteText(m_dir / "old.img", base);
    std::string other = base;
    other[7] ^= 1;
    testutil::WriteText(m_dir / "other.img", other);
    // A slot holds the base and more.
    testutil::WriteText(m_dir / "slot.img", base + std::string(4096, '\0'));
    const std::string fwkit = Quote(FWKIT_PATH);
    const std::string pkgcheck = Quote(PKGCHECK_PATH);
    // i.pkg indexes the image it rebuilds; j.pkg's index beside it is damaged.
    const RunResult made = Shell(fwkit + " delta --base old.img -k k.pem -o d.pkg p.pkg && " +
                                 fwkit + " delta -o c.pkg p.pkg && " + fwkit +
                                 " delta --base old.img --index -k k.pem -o i.pkg p.pkg && "
                                 "cp i.pkg j.pkg && cp i.pkg.index j.pkg.index && "
                                 "printf x | dd of=j.pkg.index bs=1 seek=40 conv=notrunc && " +
                                 fwkit + " sign -q -k k.pem --chunk 64K -o s.pkg p.pkg");
    ASSERT_EQ(made.status, 0) << made.err;
    std::string chunked = testutil::ReadText(m_dir / "s.pkg");  // chunk 1 damaged
    chunked[chunked.size() - m_image.size() + 65536 + 5] ^= 1;
    testutil::WriteText(m_dir / "sbad.pkg", chunked);
    // The C API's client with the index handed in (--index); the image it
    // was handed as it passed, x.img, ends before the damaged chunk.
    const std::string client = Quote(CAPI_STREAM_PATH) + " --index ";
    EXPECT_EQ(testutil::ReadText(m_dir / "i.pkg.index").size(), (m_image.size() + 65535) / 65536 * 32);
    EXPECT_LT(testutil::ReadText(m_dir / "d.pkg").size(), 64u * 1024);
    std::string damaged = testutil::ReadText(m_dir / "d.pkg");
    damaged[damaged.size() - 10] ^= 1;
    testutil::WriteText(m_dir / "bad.pkg", damaged);
    const struct {
        std::string command;
        int status;
    } rows[] = {
        {pkgcheck + " -k k.pub --base old.img -o out d.pkg", 0},
        {"cat d.pkg | " + pkgcheck + " -k k.pub --base old.img -o out -", 0},
        {fwkit + " check -k k.pub --base old.img -o out d.pkg", 0},
        {pkgcheck + " -o out c.pkg", 0},
        {pkgcheck + " -k k.pub --base other.img -o out d.pkg", 7},
        {pkgcheck + " -k k.pub --base slot.img -o out d.pkg", 0},
        {"cat d.pkg | " + pkgcheck + " -k k.pub -o out -", 7},
        {pkgcheck + " -k k.pub --base old.img -o out bad.pkg", 3},
        {pkgcheck + " -k k.pub --base old.img -o out i.pkg", 0},
        {"cat i.pkg | " + fwkit + " check -k k.pub --base old.img -o out -", 0},
        {pkgcheck + " -k k.pub --base old.img -o out j.pkg", 4},
        {"mv i.pkg.index i.kept; " + fwkit + " check --base old.img -o out i.pkg; s=$?; "
         "mv i.kept i.pkg.index; exit $s", 4},
        {fwkit + " delta --chunk 64K -o - p.pkg >/dev/null", 1},
        {client + "s.pkg.index k.pub x.img out <s.pkg", 0},
        {client + "j.pkg.index k.pub x.img out <s.pkg", 4},
        {client + "s.pkg.index k.pub x.img out <sbad.pkg; s=$?; "
                  "test $(stat -c %s x.img) = 65536 && exit $s", 3},
        // The base is emptied once pkgcheck has read it and waits for the
        // package: the check goes on from what it read, and no signal kills it.
        {"rm -f fifo; cp old.img cut.img; mkfifo fifo; " + pkgcheck +
             " -k k.pub --base cut.img -o out fifo & exec 3>fifo; : >cut.img; cat d.pkg >&3;"
             " exec 3>&-; wait $!",
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        const RunResult r = Shell("rm -f out; " + row.command);
        EXPECT_EQ(r.status, row.status) << r.out << r.err;
        EXPECT_EQ(testutil::Exists(m_dir / "out"), row.status == 0);
        if (row.status == 0) {
            EXPECT_TRUE(testutil::ReadText(m_dir / "out") == m_image);
        }
    }
    // One key given twice signs nothing, as in pkgsign.
    const RunResult twice = Shell("ln -s k.pem same.pem; " + fwkit +
                                  " delta -k k.pem -k same.pem -o e.pkg p.pkg");
    EXPECT_EQ(twice.status, 1);
    EXPECT_EQ(twice.err, "fwkit: same.pem: signs with key " + m_keyId + " as k.pem does\n");
    EXPECT_FALSE(testutil::Exists(m_dir / "e.pkg"));
    // The running slot, a block device, is a base of the device's size.
    const RunResult loop = Shell("losetup -f --show old.img 2>/dev/null");
    if (loop.status != 0 || loop.out.empty())
        GTEST_SKIP() << "no loop device (not root?)";
    const std::string device = loop.out.substr(0, loop.out.find('\n'));
    const RunResult r = Check("-k k.pub --base " + device + " -o out d.pkg");
    Shell("losetup -d " + device);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(testutil::ReadText(m_dir / "out") == m_image);
}
#endif

#endif

// Encoded packages: a base of 3 MiB and a target made from it with a few
// changes and 20,000 new bytes, long enough for three frames of 1 MiB.
class EncodedPackage : public testing::Test {
  protected:
    void SetUp() override {
        const Bytes random = testutil::RandomBytes(3 << 20, 26);
        m_base.assign(random.begin(), random.end());
        m_target = m_base.substr(4096, (5 << 19) - 4096) + std::string(5000, 'x') +
                   m_base.substr(0, 4096);
        for (size_t at = 100; at < m_target.size(); at += 300000)
            m_target[at] = static_cast<char>(m_target[at] ^ 0x5a);
        const Bytes fresh = testutil::RandomBytes(20000, 27);
        m_target.append(fresh.begin(), fresh.end());
        testutil::WriteText(m_dir / "base.img", m_base);
        testutil::WriteText(m_dir / "target.img", m_target);
        CPackageStamper stamper("dalm_upgrade", 7);
        ASSERT_EQ(stamper.Stamp(m_dir / "target.img", m_dir / "target.pkg"),
                  PackageError::Ok);
    }

    // The encoded package of target.pkg (against the base when `delta`),
    // unsigned or signed by m_signer, at `level` (0: by size).
    std::string Encode(bool delta, bool sign = false, int level = 0) {
        CPackageEncoder::Settings settings;
        settings.frameSize = CPackageEncoder::kMinFrameSize;
        settings.level = level;
        CPackageEncoder encoder(settings);
        EXPECT_EQ(encoder.Encode(m_dir / "target.pkg", delta ? m_dir / "base.img" : ""),
                  PackageError::Ok)
            << encoder.Problem();
        const CPackageHeader& header = encoder.Header();
        const std::string block = sign ? header.Sign(m_signer, encoder.PayloadSha256())
                                       : header.Compose(encoder.PayloadSha256(), "");
        return block + encoder.Payload();
    }

    // Checks `package` against `base` (none when null), in chunks of 1000.
    Seen Check(const std::string& package, const std::string* base, bool withKey = false) {
        CPackageStream stream;
        if (withKey)
            stream.AddKey(m_signer);
        if (base != nullptr)
            stream.SetBase(reinterpret_cast<const uint8_t*>(base->data()), base->size());
        Seen seen;
        Watch(stream, seen);
        for (size_t at = 0; at < package.size(); at += 1000)
            stream.Feed(package.data() + at, std::min<size_t>(1000, package.size() - at));
        seen.result = stream.Finish();
        return seen;
    }

    testutil::TempDir m_dir;
    std::string m_base;
    std::string m_target;
    CEd25519Key m_signer = CEd25519Key::Generate();
};

// Both encodings rebuild the target byte for byte, as a stream, with the
// target lines checked; a checker of the payload alone sees a package like
// any other, whose image is the payload. At level 3 the frame with the new
// bytes is searched a second time, more closely.
TEST_F(EncodedPackage, RoundTripsAndReadsAsAPackage) {
    for (const auto& [delta, level] : {std::pair{true, 0}, {false, 0}, {true, 3}}) {
        SCOPED_TRACE(std::string(delta ? "zstd-delta" : "zstd") + " level " + std::to_string(level));
        const std::string package = Encode(delta, false, level);
        const Seen seen = Check(package, &m_base);
        ASSERT_EQ(seen.result.error, PackageError::Ok) << seen.result.problem;
        EXPECT_TRUE(seen.image == m_target);
        std::vector<std::string> names;
        for (const CPackageStream::Item& item : seen.result.checks)
            names.push_back(item.name);
        std::vector<std::string> wanted = {"filesize",        "md5",        "sha256",
                                           "target-filesize", "target-md5", "target-sha256"};
        if (delta)
            wanted.insert(wanted.begin(), "base-sha256");
        EXPECT_EQ(names, wanted);
        EXPECT_EQ(seen.progress.back(), std::make_pair(uint64_t{m_target.size()},
                                                       uint64_t{m_target.size()}));
        EXPECT_LT(package.size(), delta ? 64u * 1024 : m_target.size() + 4096);

        CPackageStream plain;
        plain.SetPayloadOnly(true);
        Seen payload;
        Watch(plain, payload);
        plain.Feed(package.data(), package.size());
        EXPECT_EQ(plain.Finish().error, PackageError::Ok);
        EXPECT_EQ(payload.image, package.substr(package.find("\n\n") + 2));
    }
}

// Each damage of a delta gives its verdict; a base that does not match hands
// nothing on.
TEST_F(EncodedPackage, EachDamageGivesItsVerdict) {
    const std::string good = Encode(true);
    const size_t payload = good.find("\n\n") + 2;
    std::string otherBase = m_base;
    otherBase[10] = static_cast<char>(otherBase[10] ^ 1);
    std::string flipped = good;
    flipped[payload + (good.size() - payload) / 2] ^= 0x10;
    const size_t sha = good.find("target-sha256: ") + 15;
    std::string wrongTarget = good;
    wrongTarget[sha] = wrongTarget[sha] == '0' ? '1' : '0';
    // A payload that gives more than its header says hands on no more than that.
    const std::string shorter = Replaced(good, "target-filesize: " + std::to_string(m_target.size()),
                                         "target-filesize: 1500000");
    // A slot larger than the base is one, for its first base-filesize bytes;
    // a delta without that line needs the base exactly.
    const std::string larger = m_base + "slot";
    const std::string shortBase = m_base.substr(0, m_base.size() - 1);
    const std::string unsized =
        Replaced(good, "base-filesize: " + std::to_string(m_base.size()) + "\n", "");
    const struct {
        const char* what;
        std::string package;
        const std::string* base;
        PackageError error;
        int status;
    } cases[] = {
        {"a base larger than base-filesize", good, &larger, PackageError::Ok, 0},
        {"a base shorter than base-filesize", good, &shortBase, PackageError::BaseMismatch, 7},
        {"no base-filesize, the base exact", unsized, &m_base, PackageError::Ok, 0},
        {"no base-filesize, a larger base", unsized, &larger, PackageError::BaseMismatch, 7},
        {"the wrong base", good, &otherBase, PackageError::BaseMismatch, 7},
        {"no base", good, nullptr, PackageError::BaseMismatch, 7},
        {"a flipped payload byte", flipped, &m_base, PackageError::ImageMismatch, 3},
        {"a flipped target-sha256", wrongTarget, &m_base, PackageError::ImageMismatch, 3},
        {"a truncated payload", good.substr(0, good.size() - 100), &m_base, PackageError::CutShort,
         8},
        {"a target-filesize below the image", shorter, &m_base, PackageError::ImageMismatch, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Seen seen = Check(c.package, c.base);
        EXPECT_EQ(seen.result.error, c.error);
        EXPECT_EQ(PackageErrorStatus(seen.result.error), c.status);
        EXPECT_LE(seen.image.size(), c.package == shorter ? 1500000u : m_target.size());
        if (c.error == PackageError::BaseMismatch) {
            EXPECT_EQ(seen.image, "");
            EXPECT_TRUE(seen.progress.empty());
        }
        if (c.error == PackageError::Ok) {
            EXPECT_TRUE(seen.image == m_target);
        }
        if (c.base == &shortBase) {
            EXPECT_EQ(seen.result.problem, "the base has " + std::to_string(shortBase.size()) +
                                               " bytes, fewer than base-filesize " +
                                               std::to_string(m_base.size()));
        }
    }
}

// The signature binds the base: a signed delta verifies, and one whose
// base-sha256 was changed (to that of another base) does not, before the
// base is looked at.
TEST_F(EncodedPackage, SignatureCoversTheBase) {
    const std::string good = Encode(true, true);
    EXPECT_EQ(Check(good, &m_base, true).result.error, PackageError::Ok);
    const size_t at = good.find("base-sha256: ") + 13;
    std::string other = good;
    other[at] = other[at] == 'a' ? 'b' : 'a';
    const Seen seen = Check(other, &m_base, true);
    EXPECT_EQ(seen.result.error, PackageError::BadSignature);
    EXPECT_EQ(seen.image, "");
}

// The encoding lines are read strictly.
TEST_F(EncodedPackage, HeaderLinesAreReadStrictly) {
    const std::string good = Encode(true);
    const std::string header = good.substr(0, good.find("\n\n") + 2);
    const auto line = [&](const std::string& name) {
        const size_t at = header.find(name + ": ");
        return header.substr(at, header.find('\n', at) + 1 - at);
    };
    const std::pair<std::string, std::string> cases[] = {
        {Replaced(header, "zstd-delta", "xz"), "encoding xz is neither zstd nor zstd-delta"},
        {Replaced(header, "zstd-delta", "zstd"), "a base-sha256 line with encoding zstd"},
        {Replaced(header, line("base-sha256"), ""), "no base-sha256 line"},
        {Replaced(header, line("target-md5"), ""), "no target-md5 line"},
        {Replaced(header, "target-filesize: ", "target-filesize: -"),
         "target-filesize: '-" + std::to_string(m_target.size()) +
             "' is not a number from 0 to 4294967295"},
        {Replaced(header, "target-sha256: ", "target-sha256: A"),
         "target-sha256 A" + line("target-sha256").substr(15, 64) +
             " is not 64 lowercase hexadecimal digits"},
        {Replaced(header, line("encoding"), ""), "base-sha256 line without an encoding line"},
        {Replaced(Replaced(header, line("base-sha256"), ""), "zstd-delta", "zstd"),
         "a base-filesize line with encoding zstd"},
        {Replaced(header, line("base-filesize"), "base-filesize: 4294967296\n"),
         "base-filesize: '4294967296' is not a number from 0 to 4294967295"},
    };
    for (const auto& [text, problem] : cases) {
        SCOPED_TRACE(problem);
        MemoryBuffer buffer(testutil::ToBytes(text));
        CPackageHeader read;
        EXPECT_EQ(read.Read(buffer), PackageError::NotAPackage);
        EXPECT_EQ(read.Problem(), problem);
    }
}

// The encoder takes only a package made as usual.
TEST_F(EncodedPackage, EncoderRefusesWhatIsNoPlainPackage) {
    testutil::WriteText(m_dir / "delta.pkg", Encode(true));
    std::string damaged = testutil::ReadText(m_dir / "target.pkg");
    damaged.back() ^= 1;
    testutil::WriteText(m_dir / "damaged.pkg", damaged);
    const std::pair<std::string, PackageError> cases[] = {
        {"delta.pkg", PackageError::AlreadyEncoded},
        {"damaged.pkg", PackageError::ImageMismatch},
        {"base.img", PackageError::NotAPackage},
        {"missing.pkg", PackageError::ReadFailed},
    };
    for (const auto& [file, error] : cases) {
        CPackageEncoder encoder;
        EXPECT_EQ(encoder.Encode(m_dir / file, ""), error) << file;
        EXPECT_EQ(encoder.Culprit(), PackageInput::Package) << file;
    }
    CPackageEncoder encoder;
    EXPECT_EQ(encoder.Encode(m_dir / "target.pkg", m_dir / "missing.img"),
              PackageError::ReadFailed);
    EXPECT_EQ(encoder.Culprit(), PackageInput::Base);
}

}  // namespace
