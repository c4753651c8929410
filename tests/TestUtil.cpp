// The helpers of TestUtil.h that carry whole files and data.
#include "TestUtil.h"

namespace testutil {

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes;
    char block[1 << 16];
    while (in.read(block, sizeof block) || in.gcount() > 0)
        bytes.insert(bytes.end(), block, block + in.gcount());
    return bytes;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(gen());
    return bytes;
}

}  // namespace testutil
