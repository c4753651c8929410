#include "Crc16.h"

#include <array>
#include <cstring>

// Carry-less multiplication: PCLMULQDQ on 64- and 32-bit x86, PMULL on 64-bit ARM.
// Each is compiled for its instructions alone and run only where the processor has them.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define FWKIT_CRC16_CLMUL 1
#define FWKIT_CLMUL_TARGET __attribute__((target("pclmul,sse2")))
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__linux__) && (defined(__GNUC__) || defined(__clang__))
#define FWKIT_CRC16_CLMUL 1
#define FWKIT_CLMUL_TARGET __attribute__((target("+crypto")))
#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

constexpr uint16_t kPolyReflected = 0xA001;
constexpr int kSlices = 8;

using Tables = std::array<std::array<uint16_t, 256>, kSlices>;

// tables[0][b] is the CRC step over byte b; tables[k][b] is that of b followed by k zero bytes,
// so eight bytes can be folded in at once (slicing by eight).
constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint16_t crc = static_cast<uint16_t>(b);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ kPolyReflected : crc >> 1);
        }
        t[0][b] = crc;
    }
    for (int k = 1; k < kSlices; ++k) {
        for (uint32_t b = 0; b < 256; ++b) {
            const uint16_t prev = t[k - 1][b];
            t[k][b] = static_cast<uint16_t>((prev >> 8) ^ t[0][prev & 0xFF]);
        }
    }
    return t;
}

constexpr Tables kTables = MakeTables();

#ifdef FWKIT_CRC16_CLMUL

// Folding works on the message as a polynomial over GF(2). A 16-byte block loaded
// little-endian holds the first message bit (bit 0 of byte 0) in register bit 0, so
// register bit m is the coefficient of x^(127 - m) within the block: the low quadword L
// carries the high-order half, the block is L * x^64 + H. Moving a block D bits further
// down the message multiplies it by x^D, and only its remainder modulo the CRC polynomial
// matters, so L * x^(D + 64) + H * x^D is replaced by L * K_L + H * K_H with 16-bit
// constants. A carry-less product of two such reflected quadwords lands one degree low
// (bit k holds x^(126 - k)), which is made up for by taking K_L = x^(D + 63) mod P and
// K_H = x^(D - 1) mod P.

// x^n modulo P = x^16 + x^15 + x^2 + 1 (0x8005 unreflected), computed one shift at a time.
constexpr uint32_t XPowModPoly(unsigned n) {
    uint32_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if ((r & 0x10000u) != 0)
            r ^= 0x18005u;
    }
    return r;
}

// The remainder x^n mod P as a reflected quadword: the coefficient of x^d at bit 63 - d.
constexpr uint64_t FoldConstant(unsigned n) {
    const uint32_t r = XPowModPoly(n);
    uint64_t k = 0;
    for (unsigned d = 0; d < 16; ++d) {
        if (((r >> d) & 1u) != 0)
            k |= uint64_t{1} << (63 - d);
    }
    return k;
}

constexpr unsigned kLanes = 8;
constexpr size_t kStride = 16 * kLanes;                         // bytes folded per step
constexpr size_t kClmulMinimum = 2 * kStride;                   // shorter inputs use the tables
constexpr uint64_t kStrideLo = FoldConstant(8 * kStride + 63);  // D = 1024 bits
constexpr uint64_t kStrideHi = FoldConstant(8 * kStride - 1);
constexpr uint64_t kBlockLo = FoldConstant(128 + 63);  // D = 128 bits
constexpr uint64_t kBlockHi = FoldConstant(128 - 1);

// The four operations folding needs, on a 128-bit register holding 16 message bytes in
// memory order: load, store, the starting value as a block, and one fold step.
#if defined(__aarch64__)

using Block = uint64x2_t;

FWKIT_CLMUL_TARGET inline Block Load(const uint8_t* p) {
    return vreinterpretq_u64_u8(vld1q_u8(p));
}

FWKIT_CLMUL_TARGET inline void Store(uint8_t* p, Block x) {
    vst1q_u8(p, vreinterpretq_u8_u64(x));
}

FWKIT_CLMUL_TARGET inline Block Pair(uint64_t lo, uint64_t hi) {
    return vcombine_u64(vcreate_u64(lo), vcreate_u64(hi));
}

FWKIT_CLMUL_TARGET inline Block Fold(Block x, Block k, Block next) {
    const poly128_t lo = vmull_p64(static_cast<poly64_t>(vgetq_lane_u64(x, 0)),
                                   static_cast<poly64_t>(vgetq_lane_u64(k, 0)));
    const poly128_t hi = vmull_p64(static_cast<poly64_t>(vgetq_lane_u64(x, 1)),
                                   static_cast<poly64_t>(vgetq_lane_u64(k, 1)));
    return veorq_u64(veorq_u64(vreinterpretq_u64_p128(lo), vreinterpretq_u64_p128(hi)), next);
}

#else

using Block = __m128i;

FWKIT_CLMUL_TARGET inline Block Load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

FWKIT_CLMUL_TARGET inline void Store(uint8_t* p, Block x) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), x);
}

FWKIT_CLMUL_TARGET inline Block Pair(uint64_t lo, uint64_t hi) {
    return _mm_set_epi64x(static_cast<long long>(hi), static_cast<long long>(lo));
}

FWKIT_CLMUL_TARGET inline Block Fold(Block x, Block k, Block next) {
    const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
    const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

#endif

// Folds whole 16-byte blocks into one 128-bit remainder whose CRC from 0 is the CRC of
// the bytes folded (with `crc` as the starting value), then finishes with the tables.
FWKIT_CLMUL_TARGET uint16_t ClmulFold(uint16_t crc, const uint8_t* data, size_t len) {
    // A starting value equals that value added into the first two message bytes.
    uint8_t first[16];
    std::memcpy(first, data, sizeof first);
    first[0] = static_cast<uint8_t>(first[0] ^ (crc & 0xFF));
    first[1] = static_cast<uint8_t>(first[1] ^ (crc >> 8));
    Block x[kLanes];
    x[0] = Load(first);
    for (unsigned i = 1; i < kLanes; ++i)
        x[i] = Load(data + 16 * i);
    data += kStride;
    len -= kStride;

    const Block stride = Pair(kStrideLo, kStrideHi);
    while (len >= kStride) {
        for (unsigned i = 0; i < kLanes; ++i)
            x[i] = Fold(x[i], stride, Load(data + 16 * i));
        data += kStride;
        len -= kStride;
    }
    const Block block = Pair(kBlockLo, kBlockHi);
    Block acc = x[0];
    for (unsigned i = 1; i < kLanes; ++i)
        acc = Fold(acc, block, x[i]);
    while (len >= 16) {
        acc = Fold(acc, block, Load(data));
        data += 16;
        len -= 16;
    }
    uint8_t rest[16];
    Store(rest, acc);
    return Crc16ArcTable(Crc16ArcTable(0, rest, sizeof rest), data, len);
}

#endif  // FWKIT_CRC16_CLMUL

}  // namespace

namespace {

// A linear map of the 16-bit CRC register, as the images of its 16 bits.
using Operator = std::array<uint16_t, 16>;

uint16_t Apply(const Operator& op, uint16_t value) {
    uint16_t image = 0;
    for (int bit = 0; value != 0; ++bit, value = static_cast<uint16_t>(value >> 1)) {
        if ((value & 1) != 0)
            image ^= op[bit];
    }
    return image;
}

Operator Twice(const Operator& op) {
    Operator twice{};
    for (int bit = 0; bit < 16; ++bit)
        twice[bit] = Apply(op, op[bit]);
    return twice;
}

}  // namespace

// With no final XOR the CRC is linear: the CRC of A then B is the register after A moved
// on over as many zero bytes as B has, plus B's CRC from 0. Moving over zero bytes is a
// linear map of the register; the map for 2^k bytes is squared from the one for 2^(k-1),
// and those for the set bits of the length are applied in turn.
uint16_t Crc16ArcCombine(uint16_t crcA, uint16_t crcB, uint64_t lengthB) {
    Operator step{};  // one zero bit: shift right, the polynomial in when a 1 falls out
    step[0] = kPolyReflected;
    for (int bit = 1; bit < 16; ++bit)
        step[bit] = static_cast<uint16_t>(1u << (bit - 1));
    for (int k = 0; k < 3; ++k)
        step = Twice(step);  // one zero byte
    for (; lengthB != 0; lengthB >>= 1, step = Twice(step)) {
        if ((lengthB & 1) != 0)
            crcA = Apply(step, crcA);
    }
    return static_cast<uint16_t>(crcA ^ crcB);
}

uint16_t Crc16ArcBitwise(uint16_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool carry = ((crc ^ b) & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (carry)
                crc ^= kPolyReflected;
            b = static_cast<uint8_t>(b >> 1);
        }
    }
    return crc;
}

uint16_t Crc16ArcTable(uint16_t crc, const uint8_t* data, size_t len) {
    const auto& t = kTables;
    while (len >= kSlices) {
        const uint32_t lo = static_cast<uint32_t>(crc ^ (data[0] | (data[1] << 8)));
        crc =
            static_cast<uint16_t>(t[7][lo & 0xFF] ^ t[6][lo >> 8] ^ t[5][data[2]] ^ t[4][data[3]] ^
                                  t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]]);
        data += kSlices;
        len -= kSlices;
    }
    while (len-- > 0)
        crc = static_cast<uint16_t>((crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF]);
    return crc;
}

bool Crc16ArcClmulAvailable() {
    // Asked on every call rather than kept in a static: the answer is one load
    // from the C runtime's or the kernel's processor description, and the
    // library keeps no state of its own.
#if defined(FWKIT_CRC16_CLMUL) && defined(__aarch64__)
    return (getauxval(AT_HWCAP) & HWCAP_PMULL) != 0;
#elif defined(FWKIT_CRC16_CLMUL)
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0;
#else
    return false;
#endif
}

uint16_t Crc16ArcClmul(uint16_t crc, const uint8_t* data, size_t len) {
#ifdef FWKIT_CRC16_CLMUL
    if (len >= kClmulMinimum && Crc16ArcClmulAvailable())
        return ClmulFold(crc, data, len);
#endif
    return Crc16ArcTable(crc, data, len);
}

uint16_t Crc16Arc(uint16_t crc, const uint8_t* data, size_t len) {
    return Crc16ArcClmul(crc, data, len);
}
