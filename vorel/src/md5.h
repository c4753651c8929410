// MD5 message digest (RFC 1321) as free functions over a caller-owned context:
// MD5Init once, MD5Update any number of times, MD5Final once, then MD5Hex.
#pragma once

#include <cstdint>

using UINT4 = uint32_t;

struct MD5_CTX {
    UINT4 i[2];                // message bits fed so far, modulo 2^64, low word first
    UINT4 buf[4];              // chaining state A, B, C, D
    unsigned char in[64];      // input block being gathered
    unsigned char digest[16];  // the result, valid after MD5Final
};

// Starts a digest: bit count 0, chaining state at its initial values.
void MD5Init(MD5_CTX* mdContext);

// Feeds inLen bytes; any split of the input into calls gives the same digest.
void MD5Update(MD5_CTX* mdContext, const unsigned char* inBuf, unsigned int inLen);

// Pads the message, appends its bit count and stores the digest.
void MD5Final(MD5_CTX* mdContext);

// Writes the digest as 32 lowercase hexadecimal digits and a zero byte;
// outBuf must hold at least 33 bytes.
void MD5Hex(const MD5_CTX* mdContext, char* outBuf);
