// MD5 (RFC 1321). Whole 64-byte blocks are transformed straight from the
// caller's input; only the bytes of an unfinished block are gathered in `in`.
#include "md5.h"

#include <cstring>

namespace {

const unsigned char PADDING[64] = {0x80};

inline UINT4 Load32(const unsigned char* p) {
    return static_cast<UINT4>(p[0]) | (static_cast<UINT4>(p[1]) << 8) |
           (static_cast<UINT4>(p[2]) << 16) | (static_cast<UINT4>(p[3]) << 24);
}

inline void Store32(unsigned char* p, UINT4 v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

inline UINT4 Rotl(UINT4 x, int n) {
    return (x << n) | (x >> (32 - n));
}

// The four round operations. The message word and the constant are added
// before the round function, off the chain of dependent steps; G adds its two
// disjoint halves separately.
inline void FF(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 ac) {
    a += x + ac;
    a = Rotl(a + (d ^ (b & (c ^ d))), s) + b;
}
inline void GG(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 ac) {
    a += x + ac;
    a += ~d & c;
    a = Rotl(a + (d & b), s) + b;
}
inline void HH(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 ac) {
    a += x + ac;
    a = Rotl(a + (b ^ c ^ d), s) + b;
}
inline void II(UINT4& a, UINT4 b, UINT4 c, UINT4 d, UINT4 x, int s, UINT4 ac) {
    a += x + ac;
    a = Rotl(a + (c ^ (b | ~d)), s) + b;
}

// Folds one 64-byte block into the chaining state.
void Transform(UINT4* buf, const unsigned char* block) {
    UINT4 x[16];
    for (int k = 0; k < 16; ++k)
        x[k] = Load32(block + 4 * k);
    UINT4 a = buf[0], b = buf[1], c = buf[2], d = buf[3];

    FF(a, b, c, d, x[0], 7, 0xd76aa478);
    FF(d, a, b, c, x[1], 12, 0xe8c7b756);
    FF(c, d, a, b, x[2], 17, 0x242070db);
    FF(b, c, d, a, x[3], 22, 0xc1bdceee);
    FF(a, b, c, d, x[4], 7, 0xf57c0faf);
    FF(d, a, b, c, x[5], 12, 0x4787c62a);
    FF(c, d, a, b, x[6], 17, 0xa8304613);
    FF(b, c, d, a, x[7], 22, 0xfd469501);
    FF(a, b, c, d, x[8], 7, 0x698098d8);
    FF(d, a, b, c, x[9], 12, 0x8b44f7af);
    FF(c, d, a, b, x[10], 17, 0xffff5bb1);
    FF(b, c, d, a, x[11], 22, 0x895cd7be);
    FF(a, b, c, d, x[12], 7, 0x6b901122);
    FF(d, a, b, c, x[13], 12, 0xfd987193);
    FF(c, d, a, b, x[14], 17, 0xa679438e);
    FF(b, c, d, a, x[15], 22, 0x49b40821);

    GG(a, b, c, d, x[1], 5, 0xf61e2562);
    GG(d, a, b, c, x[6], 9, 0xc040b340);
    GG(c, d, a, b, x[11], 14, 0x265e5a51);
    GG(b, c, d, a, x[0], 20, 0xe9b6c7aa);
    GG(a, b, c, d, x[5], 5, 0xd62f105d);
    GG(d, a, b, c, x[10], 9, 0x02441453);
    GG(c, d, a, b, x[15], 14, 0xd8a1e681);
    GG(b, c, d, a, x[4], 20, 0xe7d3fbc8);
    GG(a, b, c, d, x[9], 5, 0x21e1cde6);
    GG(d, a, b, c, x[14], 9, 0xc33707d6);
    GG(c, d, a, b, x[3], 14, 0xf4d50d87);
    GG(b, c, d, a, x[8], 20, 0x455a14ed);
    GG(a, b, c, d, x[13], 5, 0xa9e3e905);
    GG(d, a, b, c, x[2], 9, 0xfcefa3f8);
    GG(c, d, a, b, x[7], 14, 0x676f02d9);
    GG(b, c, d, a, x[12], 20, 0x8d2a4c8a);

    HH(a, b, c, d, x[5], 4, 0xfffa3942);
    HH(d, a, b, c, x[8], 11, 0x8771f681);
    HH(c, d, a, b, x[11], 16, 0x6d9d6122);
    HH(b, c, d, a, x[14], 23, 0xfde5380c);
    HH(a, b, c, d, x[1], 4, 0xa4beea44);
    HH(d, a, b, c, x[4], 11, 0x4bdecfa9);
    HH(c, d, a, b, x[7], 16, 0xf6bb4b60);
    HH(b, c, d, a, x[10], 23, 0xbebfbc70);
    HH(a, b, c, d, x[13], 4, 0x289b7ec6);
    HH(d, a, b, c, x[0], 11, 0xeaa127fa);
    HH(c, d, a, b, x[3], 16, 0xd4ef3085);
    HH(b, c, d, a, x[6], 23, 0x04881d05);
    HH(a, b, c, d, x[9], 4, 0xd9d4d039);
    HH(d, a, b, c, x[12], 11, 0xe6db99e5);
    HH(c, d, a, b, x[15], 16, 0x1fa27cf8);
    HH(b, c, d, a, x[2], 23, 0xc4ac5665);

    II(a, b, c, d, x[0], 6, 0xf4292244);
    II(d, a, b, c, x[7], 10, 0x432aff97);
    II(c, d, a, b, x[14], 15, 0xab9423a7);
    II(b, c, d, a, x[5], 21, 0xfc93a039);
    II(a, b, c, d, x[12], 6, 0x655b59c3);
    II(d, a, b, c, x[3], 10, 0x8f0ccc92);
    II(c, d, a, b, x[10], 15, 0xffeff47d);
    II(b, c, d, a, x[1], 21, 0x85845dd1);
    II(a, b, c, d, x[8], 6, 0x6fa87e4f);
    II(d, a, b, c, x[15], 10, 0xfe2ce6e0);
    II(c, d, a, b, x[6], 15, 0xa3014314);
    II(b, c, d, a, x[13], 21, 0x4e0811a1);
    II(a, b, c, d, x[4], 6, 0xf7537e82);
    II(d, a, b, c, x[11], 10, 0xbd3af235);
    II(c, d, a, b, x[2], 15, 0x2ad7d2bb);
    II(b, c, d, a, x[9], 21, 0xeb86d391);

    buf[0] += a;
    buf[1] += b;
    buf[2] += c;
    buf[3] += d;
}

}  // namespace

void MD5Init(MD5_CTX* mdContext) {
    mdContext->i[0] = mdContext->i[1] = 0;
    mdContext->buf[0] = 0x67452301;
    mdContext->buf[1] = 0xefcdab89;
    mdContext->buf[2] = 0x98badcfe;
    mdContext->buf[3] = 0x10325476;
}

void MD5Update(MD5_CTX* mdContext, const unsigned char* inBuf, unsigned int inLen) {
    if (inLen == 0)
        return;
    unsigned int have = (mdContext->i[0] >> 3) & 0x3F;
    const UINT4 bits = static_cast<UINT4>(inLen) << 3;
    mdContext->i[0] += bits;
    if (mdContext->i[0] < bits)
        mdContext->i[1]++;
    mdContext->i[1] += static_cast<UINT4>(inLen) >> 29;

    if (have > 0) {
        const unsigned int take = inLen < 64 - have ? inLen : 64 - have;
        std::memcpy(mdContext->in + have, inBuf, take);
        have += take;
        inBuf += take;
        inLen -= take;
        if (have < 64)
            return;
        Transform(mdContext->buf, mdContext->in);
    }
    for (; inLen >= 64; inBuf += 64, inLen -= 64)
        Transform(mdContext->buf, inBuf);
    if (inLen > 0)
        std::memcpy(mdContext->in, inBuf, inLen);
}

void MD5Final(MD5_CTX* mdContext) {
    const UINT4 bitsLow = mdContext->i[0];
    const UINT4 bitsHigh = mdContext->i[1];
    const unsigned int have = (bitsLow >> 3) & 0x3F;
    MD5Update(mdContext, PADDING, have < 56 ? 56 - have : 120 - have);
    Store32(mdContext->in + 56, bitsLow);
    Store32(mdContext->in + 60, bitsHigh);
    Transform(mdContext->buf, mdContext->in);
    for (int k = 0; k < 4; ++k)
        Store32(mdContext->digest + 4 * k, mdContext->buf[k]);
}

void MD5Hex(const MD5_CTX* mdContext, char* outBuf) {
    static const char kDigits[] = "0123456789abcdef";
    for (int k = 0; k < 16; ++k) {
        outBuf[2 * k] = kDigits[mdContext->digest[k] >> 4];
        outBuf[2 * k + 1] = kDigits[mdContext->digest[k] & 0x0F];
    }
    outBuf[32] = '\0';
}
