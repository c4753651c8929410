// Fuzz target: fragment headers of arbitrary bytes in memory, decoded as plain
// and as logical fragments, and the physical fragments split out of a logical
// body with and without the body checks; then the same bytes once more with
// their checksums put right.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CFirmwareFragment.h"
#include "CFirmwareFragmentLogical.h"
#include "ChecksumRepair.h"
#include "FuzzSupport.h"

namespace {

// Reads the encoded form and both dumps of a decoded fragment; none may
// deliver more than the fragment claims.
void ReadBack(CFirmwareFragment& fragment) {
    fragment.ToString();
    uint8_t head[64];
    const uint32_t got = fragment.Copy(0, sizeof head, head);
    fuzz::Check(got <= sizeof head, "copy within the count");
    fuzz::CountingSink raw;
    fuzz::Check(fragment.RawDataDump(&raw) <= fragment.GetRawDataSize(), "raw dump length");
    fuzz::CountingSink encoded;
    fuzz::Check(fragment.EncodedDataDump(&encoded) <= fragment.GetEncodedDataSize(),
                "encoded dump length");
}

void DecodePlain(fuzz::ByteView& bytes) {
    CFirmwareFragment plain(&bytes, 0, bytes.Size());
    if (!plain.Decode(true))
        return;
    fuzz::Check(plain.GetHeaderSize() <= bytes.Size(), "decoded header lies in the source");
    // An empty body lacks nothing wherever its offset points; any other checked body
    // lies in the source.
    if (plain.CrcOK() && plain.GetRawDataSize() != 0) {
        fuzz::Check(uint64_t{plain.GetRawData()} + plain.GetRawDataSize() <= bytes.Size(),
                    "checked body lies in the source");
    }
    ReadBack(plain);
}

void SplitLogical(fuzz::ByteView& bytes, bool checkCRC) {
    CFirmwareFragmentLogical logical(&bytes, 0, bytes.Size());
    if (!logical.Decode(true))
        return;
    logical.ToString();
    logical.SplitBlob(checkCRC);
    fuzz::Check(logical.GetFragment(-1) == nullptr, "negative index");
    for (int i = 0; CFirmwareFragment* fragment = logical.GetFragment(i); ++i) {
        fuzz::Check(i < static_cast<int>(logical.GetNoPhysObj()), "no more than announced");
        if (checkCRC)
            fuzz::Check(fragment->CrcOK(), "split fragment passed its checks");
        ReadBack(*fragment);
    }
}

void DecodeAll(const uint8_t* data, size_t size) {
    fuzz::ByteView bytes(data, size);
    DecodePlain(bytes);
    SplitLogical(bytes, true);
    SplitLogical(bytes, false);
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
    DecodeAll(data, size);
    std::vector<uint8_t> repaired(data, data + size);
    fuzz::RepairChecksums(repaired);
    if (!std::equal(repaired.begin(), repaired.end(), data))
        DecodeAll(repaired.data(), repaired.size());
    return 0;
}
