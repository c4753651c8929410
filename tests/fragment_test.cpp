#include <gtest/gtest.h>

#include <string>

#include "CFileBuffer.h"
#include "CFirmwareFragment.h"
#include "Crc16.h"
#include "MemoryBuffer.h"
#include "TestUtil.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testutil::Bytes;

namespace {

const Bytes kWorkedHeader = {0x2B, 0x00, 0x90, 0x01, 0x01, 0x00, 0x02, 0x00, 0x03, 0x61, 0x62,
                             0x63, 0x03, 0x00, 0x00, 0x00, 0x38, 0x97, 0x2B, 0x00, 0x00, 0x00,
                             0x01, 0x00, 0x18, 0x9B, 0x03, 0x00, 0x00, 0x00, 0x04, 0x05, 0xDA,
                             0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

CFirmwareFragment* Build(CBuffer* source, const std::string& name, unsigned type = 400,
                         unsigned day = 4) {
    return new CFirmwareFragment(source, 0, source->Size(), type, 1, 2, name, 3, day, 5, 2010);
}

// Encodes a fragment over `body` stand-alone and returns header + body.
Bytes EncodeStandalone(const Bytes& body, const std::string& name, unsigned type = 400,
                       unsigned day = 4) {
    MemoryBuffer source(body);
    MemoryBuffer out;
    CFirmwareFragment* fragment = Build(&source, name, type, day);
    fragment->Encode(&out);
    delete fragment;
    return out.Bytes();
}

// Decodes the fragment at the start of `bytes`; returns Decode's result and its output.
struct Decoded {
    bool ok;
    std::string printed;
    bool crcOK;
    std::string name;
    unsigned type, day;
};

Decoded DecodeBytes(const Bytes& bytes, uint32_t available, bool checkBody = true) {
    MemoryBuffer source(bytes);
    CFirmwareFragment fragment(&source, 0, available);
    CaptureStdout();
    const bool ok = fragment.Decode(checkBody);
    return {ok,
            GetCapturedStdout(),
            fragment.CrcOK(),
            fragment.GetName(),
            fragment.GetType(),
            fragment.GetDay()};
}

void StoreHeaderCrc(Bytes& header, uint32_t n) {
    header[21 + n] = header[22 + n] = 0;
    const uint32_t hl = header[0] | (header[1] << 8);
    const uint16_t crc = Crc16ArcBitwise(0, header.data(), hl);
    header[21 + n] = static_cast<uint8_t>(crc);
    header[22 + n] = static_cast<uint8_t>(crc >> 8);
}

}  // namespace

TEST(Crc16, CheckValues) {
    const std::string digits = "123456789";
    const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
    EXPECT_EQ(Crc16Arc(0, data, digits.size()), 0xBB3D);
    EXPECT_EQ(Crc16ArcBitwise(0, data, digits.size()), 0xBB3D);
    const uint8_t abc[] = {0x61, 0x62, 0x63};
    EXPECT_EQ(Crc16Arc(0, abc, 3), 0x9738);
    EXPECT_EQ(Crc16Arc(0x1234, abc, 0), 0x1234);
}

TEST(Crc16, FastEqualsBitwiseForAnyLengthAlignmentAndSplit) {
    const Bytes data = testutil::RandomBytes(70000, 7);
    std::mt19937 gen(11);
    for (int round = 0; round < 300; ++round) {
        const size_t start = gen() % 64;
        const size_t len = gen() % (round < 150 ? 200 : 69000 - start);
        const size_t split = len == 0 ? 0 : gen() % len;
        const uint16_t seed = static_cast<uint16_t>(gen());
        const uint16_t expected = Crc16ArcBitwise(seed, data.data() + start, len);
        const uint16_t first = Crc16Arc(seed, data.data() + start, split);
        EXPECT_EQ(Crc16Arc(first, data.data() + start + split, len - split), expected)
            << "start " << start << " len " << len << " split " << split;
    }
}

TEST(FragmentFormat, WorkedExampleByteForByteTwice) {
    MemoryBuffer source(Bytes{0x61, 0x62, 0x63});
    CFirmwareFragment fragment(&source, 0, 3, 400, 1, 2, "abc", 3, 4, 5, 2010);
    for (int i = 0; i < 2; ++i) {
        fragment.PrepareHeader();
        Bytes header(43);
        ASSERT_EQ(fragment.Copy(0, 100, header.data()), 43u);
        EXPECT_EQ(header, kWorkedHeader);
    }
    EXPECT_EQ(fragment.ToString(),
              "---------------------------\nFirmware File Name: abc\nCRC Pass: 1\n"
              "Encoded Size: 0\nRaw Data Size: 3\nType: 400\nRelease: 1\nVersion: 2\nDay: 4\n"
              "Month: 5\nYear: 2010\nBuild: 3\n---------------------------\n");
}

TEST(FragmentFormat, NameRulesAndFieldCuts) {
    const Bytes empty = EncodeStandalone({}, "");
    EXPECT_EQ(empty.size(), 41u);
    EXPECT_EQ(empty[8], 1);
    EXPECT_EQ(empty[9], ' ');
    EXPECT_EQ(DecodeBytes(empty, 41).name, " ");

    const std::string longName(300, 'x');
    MemoryBuffer source;
    CFirmwareFragment unprepared(&source, 0, 0, 400, 0, 0, longName, 0, 0, 0, 0);
    EXPECT_EQ(unprepared.GetHeaderSize(), 295u);
    const Bytes cut = EncodeStandalone({}, longName);
    EXPECT_EQ(cut.size(), 295u);
    EXPECT_EQ(DecodeBytes(cut, 295).name, std::string(255, 'x'));
    EXPECT_EQ(EncodeStandalone({}, std::string(255, 'y')).size(), 295u);

    EXPECT_EQ(DecodeBytes(EncodeStandalone({1}, "t", 65536), 42).type, 0u);
    EXPECT_EQ(DecodeBytes(EncodeStandalone({1}, "t", 65535), 42).type, 65535u);
    EXPECT_EQ(DecodeBytes(EncodeStandalone({1}, "t", 400, 300), 42).day, 44u);
}

TEST(FragmentFormat, EmptyBodyHasLengthAndCrcZero) {
    const Bytes header = EncodeStandalone({}, "a");
    ASSERT_EQ(header.size(), 41u);
    EXPECT_EQ(Bytes(header.begin() + 10, header.begin() + 16), Bytes(6, 0));  // length + CRC
    EXPECT_EQ(header[16], 41);  // body offset = header length
}

TEST(FragmentDecode, SizeAndNameMessagesAtTheirBoundaries) {
    const Bytes good = EncodeStandalone({1, 2, 3}, "abc");
    EXPECT_EQ(DecodeBytes(good, 0).printed, "Fragment too small to contain a header\n");
    EXPECT_EQ(DecodeBytes(good, 1).printed, "Fragment too small to contain a header\n");
    EXPECT_EQ(DecodeBytes(good, 2).printed, "Bad fragment size stored in header\n");
    EXPECT_EQ(DecodeBytes(good, 39).printed, "Bad fragment size stored in header\n");
    EXPECT_EQ(DecodeBytes(good, 42).printed, "Bad fragment size stored in header\n");
    EXPECT_TRUE(DecodeBytes(good, 43).ok);

    Bytes named(60, 0);
    named[8] = 10;
    named[0] = 48;
    EXPECT_EQ(DecodeBytes(named, 60).printed, "Bad name size stored in header\n");
    named[0] = 49;
    EXPECT_EQ(DecodeBytes(named, 60).printed, "Incorrect header CRC\n");
    StoreHeaderCrc(named, 10);
    EXPECT_TRUE(DecodeBytes(named, 60, false).ok);
}

TEST(FragmentDecode, AnyChangedHeaderByteFailsUntilTheCrcMatches) {
    const Bytes good = EncodeStandalone({1, 2, 3}, "abc");
    for (size_t i = 0; i < 43; ++i) {
        if (i == 0 || i == 1 || i == 8 || i == 24 || i == 25)
            continue;  // lengths and the CRC
        Bytes changed = good;
        changed[i] ^= 0x40;
        EXPECT_EQ(DecodeBytes(changed, 46).printed, "Incorrect header CRC\n") << "byte " << i;
    }
    Bytes fixedByte = good;
    fixedByte[22] = 0x07;  // the fixed byte at 19 + n
    fixedByte[42] = 0x55;  // a reserved byte
    StoreHeaderCrc(fixedByte, 3);
    const Decoded decoded = DecodeBytes(fixedByte, 46);
    EXPECT_TRUE(decoded.ok);
    EXPECT_TRUE(decoded.crcOK);
}

TEST(FragmentDecode, StoredNameLengthZeroReadsAnEmptyName) {
    Bytes header(40, 0);
    header[0] = 40;
    header[8] = 0;
    header[15] = 40;  // body offset
    StoreHeaderCrc(header, 0);
    const Decoded decoded = DecodeBytes(header, 40);
    EXPECT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.name, "");
}

TEST(FragmentDecode, DamagedBodyIsLeftForTheCaller) {
    Bytes bytes = EncodeStandalone({1, 2, 3}, "abc");
    bytes[44] ^= 1;
    MemoryBuffer source(bytes);
    CFirmwareFragment fragment(&source, 0, 46);
    EXPECT_TRUE(fragment.Decode(false));
    EXPECT_FALSE(fragment.CrcOK());  // the computed body CRC keeps its starting value
    EXPECT_TRUE(fragment.Decode(true));
    EXPECT_FALSE(fragment.CrcOK());
    EXPECT_EQ(fragment.GetRawDataCRC(), bytes[16] | bytes[17] << 8);  // stored, not computed
    EXPECT_TRUE(fragment.ToString().find("CRC Pass: 0\n") != std::string::npos);
}

TEST(FragmentDecode, BodyCrcAcrossChunkBoundaries) {
    for (size_t size : {8191u, 8192u, 8193u, 300000u}) {
        const Bytes body = testutil::RandomBytes(size, static_cast<uint32_t>(size));
        const Bytes encoded = EncodeStandalone(body, "b");
        EXPECT_EQ(encoded[14] | encoded[15] << 8, Crc16ArcBitwise(0, body.data(), body.size()));
        EXPECT_TRUE(DecodeBytes(encoded, static_cast<uint32_t>(encoded.size())).crcOK);
    }
}

// One tick delivers at most 262144 bytes, carrying the running CRC; the whole-body CRC
// is not bound by it.
TEST(FragmentDecode, TickIsCappedAndCarriesTheRunningCrc) {
    const Bytes data = testutil::RandomBytes(300000, 11);
    MemoryBuffer source(data);
    CFirmwareFragment fragment(&source, 0, 300000, 400, 0, 0, "t", 0, 0, 0, 0);
    uint32_t size = 300000;
    uint16_t crc = 0;
    EXPECT_TRUE(fragment.generateCRCTick(0, size, crc));
    EXPECT_EQ(size, 262144u);
    uint32_t rest = 300000 - size;
    EXPECT_TRUE(fragment.generateCRCTick(size, rest, crc));
    EXPECT_EQ(rest, 300000u - 262144u);
    EXPECT_EQ(crc, Crc16ArcBitwise(0, data.data(), data.size()));
    EXPECT_EQ(fragment.generateCRC(0, 300000), crc);
}

TEST(FragmentDecode, BodyTheSourceCannotDeliverFailsEvenWhenDeliveredBytesMatch) {
    // The stored CRC is that of the three bytes present, but the header claims ten.
    Bytes bytes = EncodeStandalone({'a', 'b', 'c'}, "abc");
    bytes[12] = 10;
    StoreHeaderCrc(bytes, 3);
    const Decoded shortBody = DecodeBytes(bytes, static_cast<uint32_t>(bytes.size()));
    EXPECT_TRUE(shortBody.ok);
    EXPECT_FALSE(shortBody.crcOK);

    // An offset that wraps around 32 bits must not wrap back into the source.
    Bytes wrapped = EncodeStandalone({'a', 'b', 'c'}, "abc");
    wrapped[18] = 0xFE;
    wrapped[19] = wrapped[20] = wrapped[21] = 0xFF;
    StoreHeaderCrc(wrapped, 3);
    EXPECT_FALSE(DecodeBytes(wrapped, static_cast<uint32_t>(wrapped.size())).crcOK);
}

TEST(FragmentDecode, ShortHeaderCopyReadsMissingBytesAsZero) {
    Bytes bytes = EncodeStandalone({}, "abc");
    bytes.resize(30);  // the header claims 43 bytes; the caller says 100 are there
    EXPECT_EQ(DecodeBytes(bytes, 100).printed, "Incorrect header CRC\n");
}

TEST(FragmentObject, ByteSourceViewOfABuiltFragment) {
    testutil::TempDir dir;
    const Bytes data = testutil::RandomBytes(1000);
    testutil::WriteBytes(dir / "data", data);
    CFileBuffer source(dir / "data");
    CFirmwareFragment fragment(&source, 0, 1000, 400, 0, 0, "ten_chars_", 0, 0, 0, 0);
    EXPECT_FALSE(fragment.CrcOK());
    EXPECT_EQ(fragment.Size(), 1050u);
    EXPECT_TRUE(fragment.CrcOK());
    EXPECT_EQ(fragment.At(0), 50);
    EXPECT_EQ(fragment.At(1), 0);
    EXPECT_EQ(fragment.At(50), data[0]);
    uint8_t buff[100];
    EXPECT_EQ(fragment.Copy(40, 100, buff), 10u);
    EXPECT_EQ(fragment.Copy(50, 100, buff), 100u);
    EXPECT_EQ(Bytes(buff, buff + 100), Bytes(data.begin(), data.begin() + 100));

    CFileBuffer out(dir / "out");
    out.Clear();
    EXPECT_EQ(fragment.Encode(&out), 1050u);
    EXPECT_EQ(fragment.Size(), 1050u);
    EXPECT_EQ(fragment.GetEncodedDataSize(), 1050u);
    const Bytes written = testutil::ReadBytes(dir / "out");
    EXPECT_EQ(Bytes(written.begin() + 50, written.end()), data);
}

TEST(FragmentObject, DecodedFragmentReencodesItsStoredHeaderAndDumpsItsParts) {
    Bytes stored = EncodeStandalone({9, 8, 7, 6}, "frag");
    stored[25] = 0x11;  // an unusual fixed byte, accepted once the CRC matches
    StoreHeaderCrc(stored, 4);
    MemoryBuffer source(stored);
    CFirmwareFragment fragment(&source, 0, static_cast<uint32_t>(stored.size()));
    ASSERT_TRUE(fragment.Decode(true));
    MemoryBuffer out;
    EXPECT_EQ(fragment.Encode(&out), stored.size());
    EXPECT_EQ(out.Bytes(), stored);

    MemoryBuffer raw;
    MemoryBuffer encoded;
    EXPECT_EQ(fragment.RawDataDump(&raw), 4u);
    EXPECT_EQ(raw.Bytes(), (Bytes{9, 8, 7, 6}));
    EXPECT_EQ(fragment.EncodedDataDump(&encoded), stored.size());
}

TEST(FragmentObject, HeaderLongerThanTheGivenSizeIsNotCopied) {
    const Bytes stored = EncodeStandalone({1}, "abc");
    MemoryBuffer source(stored);
    CFirmwareFragment fragment(&source, 0, 42);
    EXPECT_EQ(fragment.GetHeaderSize(), 40u + 1u);  // computed, nothing stored
    CaptureStdout();
    EXPECT_FALSE(fragment.Decode(true));
    EXPECT_EQ(GetCapturedStdout(), "Bad fragment size stored in header\n");
}

TEST(FragmentObject, WholeBufferRuleWithABodyPositionIsAnEmptyBody) {
    MemoryBuffer source(Bytes{1, 2, 3, 4});
    CFirmwareFragment fragment(&source, 2, 0, 400, 0, 0, "w", 0, 0, 0, 0);
    MemoryBuffer out;
    fragment.Encode(&out);
    ASSERT_EQ(out.Bytes().size(), 41u);
    EXPECT_EQ(Bytes(out.Bytes().begin() + 10, out.Bytes().begin() + 16), Bytes(6, 0));

    CFirmwareFragment whole(&source, 0, 0, 400, 0, 0, "w", 0, 0, 0, 0);
    whole.PrepareHeader();
    EXPECT_EQ(whole.Size(), 45u);
    EXPECT_EQ(whole.At(10), 4);  // body length: the whole source
}

TEST(FragmentObject, DecodedEmptyBodyStaysEmptyWhenItsHeaderIsRebuilt) {
    // A stored empty body at offset 0 must not be rebuilt as the whole source.
    Bytes stored = EncodeStandalone({}, "e");
    stored[16] = 0;  // body offset 0
    StoreHeaderCrc(stored, 1);
    MemoryBuffer source(stored);
    CFirmwareFragment fragment(&source, 0, static_cast<uint32_t>(stored.size()));
    ASSERT_TRUE(fragment.Decode(true));
    fragment.PrepareHeader(0, 500);
    Bytes header(fragment.GetHeaderSize());
    fragment.Copy(0, static_cast<uint32_t>(header.size()), header.data());
    EXPECT_EQ(Bytes(header.begin() + 10, header.begin() + 14), Bytes(4, 0));
}
