// The strict readers of command-line values: what each accepts, and that every
// refusal names the value.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <string>

#include "CChunkIndex.h"
#include "Core.h"
#include "Parse.h"

namespace {

using namespace Core::Parse;

struct NumberCase {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
};

const NumberCase kNumbers[] = {
    {"0", 65535, true, 0},          {"400", 65535, true, 400},   {"65535", 65535, true, 65535},
    {"65536", 65535, false, 0},     {"4OO", 65535, false, 0},    {"", 65535, false, 0},
    {"-5", 65535, false, 0},        {"+1", 65535, false, 0},     {" 1", 65535, false, 0},
    {"0x10", 65535, false, 0},      {"4294967295", UINT32_MAX, true, UINT32_MAX},
    {"99999999999999999999999", UINT64_MAX, false, 0},
};

// fwkit's command line also takes hexadecimal after 0x; decimal stays decimal.
// Chunk sizes: 64K to 4M in powers of two, K and M in either case, or bytes.
const NumberCase kChunks[] = {
    {"64K", 0, true, 65536},      {"64k", 0, true, 65536},      {"256K", 0, true, 262144},
    {"1m", 0, true, 1u << 20},    {"4M", 0, true, 4u << 20},    {"4096K", 0, true, 4u << 20},
    {"65536", 0, true, 65536},    {"4194304", 0, true, 4u << 20},
    {"32K", 0, false, 0},         {"8M", 0, false, 0},          {"100K", 0, false, 0},
    {"65535", 0, false, 0},       {"0", 0, false, 0},           {"", 0, false, 0},
    {"K", 0, false, 0},           {"64KB", 0, false, 0},        {"-64K", 0, false, 0},
    {" 64K", 0, false, 0},        {"1G", 0, false, 0},          {"4194304K", 0, false, 0},
    {"99999999999999999999M", 0, false, 0},
};

const NumberCase kCommandNumbers[] = {
    {"0x190", 65535, true, 400},   {"0XfFfF", 65535, true, 65535}, {"0620", 65535, true, 620},
    {"0x10000", 65535, false, 0},  {"0x", 65535, false, 0},        {"0x-1", 65535, false, 0},
    {"0xg", 65535, false, 0},      {" 0x1", 65535, false, 0},      {"x10", 65535, false, 0},
    {"0x1ffffffffffffffff", UINT64_MAX, false, 0}, {"0xffffffffffffffff", UINT64_MAX, true, UINT64_MAX},
};

void ExpectNumbers(const NumberCase* begin, const NumberCase* end,
                   std::string (*read)(const std::string&, uint64_t, uint64_t&)) {
    for (const NumberCase* c = begin; c != end; ++c) {
        SCOPED_TRACE(c->text);
        uint64_t value = 0;
        const std::string refusal = read(c->text, c->max, value);
        EXPECT_EQ(refusal.empty(), c->ok) << refusal;
        if (c->ok)
            EXPECT_EQ(value, c->value);
        else
            EXPECT_EQ(refusal, std::string("'") + c->text + "' is not a number from 0 to " +
                                   std::to_string(c->max));
    }
}

TEST(Parse, NumbersAreDecimalDigitsWithinTheirWidth) {
    ExpectNumbers(std::begin(kNumbers), std::end(kNumbers),
                  [](const std::string& text, uint64_t max, uint64_t& value) {
                      return Unsigned(text, max, value);
                  });
    ExpectNumbers(std::begin(kCommandNumbers), std::end(kCommandNumbers),
                  [](const std::string& text, uint64_t max, uint64_t& value) {
                      return CommandNumber(text, 0, max, value);
                  });
    uint64_t value = 0;
    EXPECT_EQ(CommandNumber("0x12c", 300, 399, value), "");
    EXPECT_EQ(value, 300u);
    EXPECT_EQ(CommandNumber("0x12b", 300, 399, value), "'0x12b' is not a number from 300 to 399");
}

TEST(Parse, DatesAreRealCalendarDays) {
    const char* const kGood[] = {"2024-02-29", "2000-02-29", "0001-01-01", "9999-12-31"};
    const char* const kBad[] = {"2023-02-29", "1900-02-29", "2024-13-01", "2024-04-31",
                                "0000-01-01", "2024-1-01",  "2024-01-01x", "24-03-14"};
    Date date;
    for (const char* text : kGood)
        EXPECT_EQ(CalendarDate(text, date), "") << text;
    for (const char* text : kBad)
        EXPECT_NE(CalendarDate(text, date), "") << text;
    ASSERT_EQ(CalendarDate("2024-03-14", date), "");
    EXPECT_EQ(date.year * 10000 + date.month * 100 + date.day, 20240314);
}

TEST(Parse, VersionsPackAsTheHeaderStoresThem) {
    uint32_t packed = 0;
    ASSERT_EQ(PackageVersion("2.4.1", packed), "");
    EXPECT_EQ(packed, 33816577u);
    const Core::Version::Parts parts = Core::Version::FromNumber(packed);
    EXPECT_EQ(parts.major * 1000000 + parts.minor * 1000 + parts.build, 2004001u);
    ASSERT_EQ(PackageVersion("255.255.65535", packed), "");
    EXPECT_EQ(packed, UINT32_MAX);
    for (const char* bad : {"256.0.0", "2.4", "2.4.1.0", "2..1", "2.4.65536", "v2.4.1", "2.4.1 "})
        EXPECT_NE(PackageVersion(bad, packed), "") << bad;
    ASSERT_EQ(PackageVersionOrNumber("33816577", packed), "");
    EXPECT_EQ(packed, 33816577u);
    EXPECT_NE(PackageVersionOrNumber("2.4", packed), "");
}

TEST(Parse, ChunkSizesArePowersOfTwoFrom64KTo4M) {
    for (const NumberCase& c : kChunks) {
        uint64_t chunk = 0;
        const std::string refusal = CChunkIndex::ParseChunk(c.text, chunk);
        EXPECT_EQ(refusal.empty(), c.ok) << c.text << ": " << refusal;
        if (c.ok)
            EXPECT_EQ(chunk, c.value) << c.text;
        else
            EXPECT_EQ(refusal, std::string("'") + c.text + "' is not a power of two from 64K to 4M");
    }
}

TEST(Parse, UtcTimesRoundTripPast2038) {
    const char* const kTimes[] = {"1970-01-01T00:00:00Z", "2026-12-08T07:44:15Z",
                                  "2100-02-28T23:59:59Z", "2038-01-19T03:14:08Z"};
    for (const char* text : kTimes) {
        int64_t seconds = 0;
        ASSERT_EQ(UtcTime(text, seconds), "") << text;
        EXPECT_EQ(FormatUtcTime(seconds), text);
    }
    int64_t seconds = 0;
    ASSERT_EQ(UtcTime("2038-01-19T03:14:08Z", seconds), "");
    EXPECT_EQ(seconds, int64_t{1} << 31);
    for (const char* bad : {"2026-12-08 07:44:15Z", "2026-12-08T24:00:00Z", "2026-12-08T07:44:15",
                            "2026-02-30T00:00:00Z"})
        EXPECT_NE(UtcTime(bad, seconds), "") << bad;
    const Date day = DayOf(-1);
    EXPECT_EQ(day.year * 10000 + day.month * 100 + day.day, 19691231);
}

}  // namespace
