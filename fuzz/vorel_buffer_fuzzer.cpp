// Fuzz target: packages of arbitrary bytes decoded by CVorelBuffer, at the
// start of a buffer and behind other bytes, and the view read from end to end;
// a header the strict reader accepts is read alike by every reader.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "CVorelBuffer.h"
#include "FuzzSupport.h"
#include "ReaderAgreement.h"

namespace {

// Bytes in front of the package for the view at an offset.
constexpr uint32_t kLeadIn = 100;

// Reads the whole view in chunks, each chunk starting where the last one
// stopped, and compares some bytes with what At gives for them.
void ReadView(CVorelBuffer& view) {
    const uint32_t size = view.Size();
    const uint32_t text = view.GetHeaderSize();
    fuzz::Check(size >= text, "view holds its header text");
    std::vector<uint8_t> chunk(997);
    uint32_t index = 0;
    while (index < size) {
        const uint32_t got = view.Copy(index, static_cast<uint32_t>(chunk.size()), chunk.data());
        fuzz::Check(got <= chunk.size() && got <= size - index, "copy within count and view");
        if (got == 0)
            break;
        fuzz::Check(index >= text || index + got <= text, "header and data never mixed");
        fuzz::Check(view.At(index) == chunk[0], "At agrees with Copy at a chunk's start");
        fuzz::Check(view.At(index + got - 1) == chunk[got - 1], "At agrees at its end");
        index += got;
    }
    fuzz::Check(index >= text, "the whole header text is read");
    view.At(size);
    view.At(UINT32_MAX);
    fuzz::Check(view.Copy(UINT32_MAX, 16, chunk.data()) == 0, "nothing past the end");
}

void DecodeAndRead(CVorelBuffer& view) {
    const bool decoded = view.Decode();
    if (decoded)
        fuzz::Check(!view.GetHeader("filesize").empty(), "decoded package has a filesize");
    ReadView(view);
    // A header set after decoding changes the text's length under the data.
    view.SetHeader("filetype", "dalm_upgrade");
    view.SetHeader("filesize", view.GetRawDataSize());
    ReadView(view);
}

}  // namespace

extern "C" int FUZZ_ENTRY(const uint8_t* data, size_t size) {
    fuzz::ByteView bytes(data, size);
    CVorelBuffer atStart(&bytes);
    DecodeAndRead(atStart);

    std::vector<uint8_t> shifted(kLeadIn + size, '\n');
    std::copy(data, data + size, shifted.begin() + kLeadIn);
    fuzz::ByteView behind(shifted.data(), shifted.size());
    CVorelBuffer atOffset(&behind, kLeadIn);
    DecodeAndRead(atOffset);
    fuzz::CheckReadersAgree(data, size);
    return 0;
}
