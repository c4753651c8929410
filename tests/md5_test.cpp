#include "md5.h"

#include "CImageDigest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestUtil.h"

namespace {

// Digest of bytes fed in pieces of the given sizes, in turn, until all are fed.
std::string Digest(const testutil::Bytes& bytes, const std::vector<unsigned int>& pieces = {}) {
    MD5_CTX context;
    MD5Init(&context);
    size_t pos = 0;
    for (unsigned int piece : pieces) {
        MD5Update(&context, bytes.data() + pos, piece);
        pos += piece;
    }
    MD5Update(&context, bytes.data() + pos, static_cast<unsigned int>(bytes.size() - pos));
    MD5Final(&context);
    char hex[33];
    MD5Hex(&context, hex);
    return hex;
}

std::string Digest(const std::string& text) {
    return Digest(testutil::ToBytes(text));
}

TEST(Md5, PublishedTestSuite) {
    EXPECT_EQ(Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Digest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Digest("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around 56 and 64 bytes change how many padding blocks follow the message.
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(Digest(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Digest(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Digest(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(Digest(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Digest(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(Md5, AnySplitOfTheInputGivesTheSameDigest) {
    const testutil::Bytes bytes = testutil::RandomBytes(10000, 7);
    const std::string whole = Digest(bytes);
    EXPECT_EQ(Digest(bytes, {4096, 4096, 1808, 0}), whole);
    EXPECT_EQ(Digest(bytes, {0, 1, 62, 1, 64, 65, 127, 3000}), whole);
    EXPECT_EQ(Digest(bytes, std::vector<unsigned int>(10000, 1)), whole);
}

TEST(Md5, BitCountCarriesIntoHighWord) {
    MD5_CTX context;
    MD5Init(&context);
    context.i[0] = 0xFFFFFFF8u;
    const unsigned char byte = 0;
    MD5Update(&context, &byte, 1);
    EXPECT_EQ(context.i[0], 0u);
    EXPECT_EQ(context.i[1], 1u);
    MD5Update(&context, &byte, 0);
    EXPECT_EQ(context.i[0], 0u);
    EXPECT_EQ(context.i[1], 1u);
}

TEST(Md5, HexIsThirtyTwoLowercaseDigits) {
    MD5_CTX context;
    std::memset(&context, 0, sizeof context);
    const unsigned char digest[16] = {0x00, 0x0A, 0xFF, 0x10, 0xAB, 0xCD, 0xEF, 0x01,
                                      0x23, 0x45, 0x67, 0x89, 0x9A, 0xBC, 0xDE, 0xF0};
    std::memcpy(context.digest, digest, sizeof digest);
    char hex[40];
    std::memset(hex, 'X', sizeof hex);
    MD5Hex(&context, hex);
    EXPECT_EQ(std::string(hex, 33), std::string("000aff10abcdef01234567899abcdef0", 33));
    EXPECT_EQ(hex[33], 'X');
}

// The image digest gives one result whether bytes are copied into its blocks
// or read in place, in pieces small or large enough to lap its ring of slots.
TEST(Md5, ImageDigestInPlaceMatchesCopied) {
    const testutil::Bytes bytes = testutil::RandomBytes(3 * CImageDigest::kBlockSize + 777, 9);
    CImageDigest copied;
    copied.Add(bytes.data(), bytes.size());
    std::string md5;
    std::string sha256;
    copied.Finish(md5, sha256);
    EXPECT_EQ(md5, Digest(bytes));
    for (const size_t piece : {size_t{1000}, CImageDigest::kBlockSize + 1, bytes.size()}) {
        CImageDigest inPlace;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            inPlace.AddInPlace(bytes.data() + at, std::min(piece, bytes.size() - at));
            if (at % (3 * piece) == 0)
                inPlace.Settle();
        }
        std::string md5InPlace;
        std::string sha256InPlace;
        inPlace.Finish(md5InPlace, sha256InPlace);
        EXPECT_EQ(md5InPlace, md5) << piece;
        EXPECT_EQ(sha256InPlace, sha256) << piece;
        EXPECT_EQ(inPlace.Size(), bytes.size());
    }
}

}  // namespace
