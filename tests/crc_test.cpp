// Every CRC-16/ARC path (tables, carry-less folding, and the one the library picks)
// must give the bit-by-bit result for any length, alignment, starting value and split.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Crc16.h"
#include "TestUtil.h"

namespace {

using testutil::Bytes;

struct CrcPath {
    const char* name;
    uint16_t (*crc)(uint16_t, const uint8_t*, size_t);
};

class CrcPathTest : public ::testing::TestWithParam<CrcPath> {};

TEST_P(CrcPathTest, PublishedCheckValues) {
    const std::string digits = "123456789";
    const auto* text = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(GetParam().crc(0, text, digits.size()), 0xBB3D);
    EXPECT_EQ(GetParam().crc(0, text, 3), 0xBA04);
    EXPECT_EQ(GetParam().crc(0xBA04, text + 3, 6), 0xBB3D);
    EXPECT_EQ(GetParam().crc(0x1234, text, 0), 0x1234);
}

// Every length up to a few fold strides, so each way of ending (whole strides, single
// blocks, table tail) meets each way of starting (alignment, starting value).
TEST_P(CrcPathTest, EveryShortLengthAtEveryAlignmentMatchesBitwise) {
    const Bytes data = testutil::RandomBytes(700, 3);
    for (size_t start = 0; start < 17; start += 3) {
        for (size_t len = 0; len + start <= data.size() && len <= 600; ++len) {
            const uint16_t seed = static_cast<uint16_t>(len * 2654435761u);
            ASSERT_EQ(GetParam().crc(seed, data.data() + start, len),
                      Crc16ArcBitwise(seed, data.data() + start, len))
                << "start " << start << " len " << len;
        }
    }
}

TEST_P(CrcPathTest, RandomLengthsAlignmentsAndSplitsMatchBitwise) {
    const Bytes data = testutil::RandomBytes(100000, 9);
    std::mt19937 gen(21);
    for (int round = 0; round < 150; ++round) {
        const size_t start = gen() % 64;
        const size_t len = gen() % (data.size() - start);
        const size_t split = len == 0 ? 0 : gen() % len;
        const uint16_t seed = static_cast<uint16_t>(gen());
        const uint8_t* at = data.data() + start;
        const uint16_t expected = Crc16ArcBitwise(seed, at, len);
        ASSERT_EQ(GetParam().crc(seed, at, len), expected) << "start " << start << " len " << len;
        const uint16_t first = GetParam().crc(seed, at, split);
        ASSERT_EQ(GetParam().crc(first, at + split, len - split), expected)
            << "start " << start << " len " << len << " split " << split;
    }
}

// Runs of equal bytes bring out mistakes that random data hides, such as a starting
// value folded into the wrong bytes or a constant off by one degree.
TEST_P(CrcPathTest, UniformDataWithAnyStartingValueMatchesBitwise) {
    for (uint8_t fill : {0x00, 0xFF, 0x01, 0x80}) {
        const Bytes data(5000, fill);
        for (uint16_t seed : {0x0000, 0x0001, 0x8000, 0xFFFF, 0xA001}) {
            for (size_t len : {127u, 128u, 129u, 192u, 4096u, 4999u}) {
                EXPECT_EQ(GetParam().crc(seed, data.data(), len),
                          Crc16ArcBitwise(seed, data.data(), len))
                    << "fill " << int{fill} << " seed " << seed << " len " << len;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, CrcPathTest,
                         ::testing::Values(CrcPath{"Table", Crc16ArcTable},
                                           CrcPath{"Clmul", Crc16ArcClmul},
                                           CrcPath{"Selected", Crc16Arc}),
                         [](const ::testing::TestParamInfo<CrcPath>& info) {
                             return std::string(info.param.name);
                         });

// Spans checksummed apart (the halves of a large body, read on two threads) join into
// the CRC of the whole, whatever the starting value and however long the second span.
TEST(CrcCombine, JoinsSpansChecksummedApart) {
    const Bytes data = testutil::RandomBytes(3 << 20, 11);
    const struct {
        size_t first, second;
    } cases[] = {{0, 0}, {5, 0}, {0, 7}, {1, 1}, {128, 129}, {1000, 65536}, {3, (3 << 20) - 3}};
    for (const auto& c : cases) {
        for (uint16_t seed : {0x0000, 0xFFFF, 0x1234}) {
            const uint16_t a = Crc16ArcBitwise(seed, data.data(), c.first);
            const uint16_t b = Crc16Arc(0, data.data() + c.first, c.second);
            EXPECT_EQ(Crc16ArcCombine(a, b, c.second),
                      Crc16ArcBitwise(seed, data.data(), c.first + c.second))
                << c.first << " + " << c.second << " from " << seed;
        }
    }
}

// Crc16ArcClmul falls back to the tables where folding is not possible; say so rather
// than pass silently as a second table test.
TEST(CrcClmul, FoldingPathIsExercisedWhereAvailable) {
    if (!Crc16ArcClmulAvailable())
        GTEST_SKIP() << "no carry-less multiplication on this build or processor";
    const Bytes data = testutil::RandomBytes(1 << 20, 5);
    EXPECT_EQ(Crc16ArcClmul(0, data.data(), data.size()),
              Crc16ArcBitwise(0, data.data(), data.size()));
}

}  // namespace
