#include "auth/md5.h"

#include <cstdio>
#include <cstring>

#include "platform/format.h"

namespace {

const uint32_t ulSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const int nShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21,
};

uint32_t RotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

void Md5Block(uint32_t ulState[4], const unsigned char* pBlock) {
    uint32_t ulWord[16];
    for (int i = 0; i < 16; ++i) {
        ulWord[i] = static_cast<uint32_t>(pBlock[i * 4]) | static_cast<uint32_t>(pBlock[i * 4 + 1]) << 8 |
                    static_cast<uint32_t>(pBlock[i * 4 + 2]) << 16 | static_cast<uint32_t>(pBlock[i * 4 + 3]) << 24;
    }
    uint32_t a = ulState[0], b = ulState[1], c = ulState[2], d = ulState[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t ulNext = d;
        d = c;
        c = b;
        b = b + RotateLeft(a + f + ulSine[i] + ulWord[g], nShift[i]);
        a = ulNext;
    }
    ulState[0] += a;
    ulState[1] += b;
    ulState[2] += c;
    ulState[3] += d;
}

}  // namespace

void Md5Init(Md5Context* pContext) {
    pContext->ulState[0] = 0x67452301;
    pContext->ulState[1] = 0xefcdab89;
    pContext->ulState[2] = 0x98badcfe;
    pContext->ulState[3] = 0x10325476;
    pContext->ullBits = 0;
}

void Md5Update(Md5Context* pContext, const void* pData, size_t nLength) {
    const unsigned char* p = static_cast<const unsigned char*>(pData);
    size_t nFill = static_cast<size_t>((pContext->ullBits >> 3) & 63);
    pContext->ullBits += static_cast<uint64_t>(nLength) << 3;
    while (nLength > 0) {
        size_t nTake = 64 - nFill < nLength ? 64 - nFill : nLength;
        memcpy(pContext->bBuffer + nFill, p, nTake);
        nFill += nTake;
        p += nTake;
        nLength -= nTake;
        if (nFill == 64) {
            Md5Block(pContext->ulState, pContext->bBuffer);
            nFill = 0;
        }
    }
}

void Md5Final(Md5Context* pContext, unsigned char bDigest[16]) {
    unsigned char bLength[8];
    for (int i = 0; i < 8; ++i) bLength[i] = static_cast<unsigned char>(pContext->ullBits >> (8 * i));
    static const unsigned char bPad[64] = {0x80};
    size_t nFill = static_cast<size_t>((pContext->ullBits >> 3) & 63);
    Md5Update(pContext, bPad, nFill < 56 ? 56 - nFill : 120 - nFill);
    Md5Update(pContext, bLength, 8);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) bDigest[i * 4 + j] = static_cast<unsigned char>(pContext->ulState[i] >> (8 * j));
    }
}

void Md5(const void* pData, size_t nLength, unsigned char bDigest[16]) {
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, pData, nLength);
    Md5Final(&context, bDigest);
}

void HmacMd5(const void* pText, size_t nTextLength, const void* pKey, size_t nKeyLength,
             unsigned char bDigest[16]) {
    unsigned char bKey[64] = {};
    if (nKeyLength > 64) {
        Md5(pKey, nKeyLength, bKey);
    } else if (nKeyLength > 0) {
        memcpy(bKey, pKey, nKeyLength);
    }
    unsigned char bInnerPad[64], bOuterPad[64];
    for (int i = 0; i < 64; ++i) {
        bInnerPad[i] = bKey[i] ^ 0x36;
        bOuterPad[i] = bKey[i] ^ 0x5c;
    }
    unsigned char bInner[16];
    Md5Context context;
    Md5Init(&context);
    Md5Update(&context, bInnerPad, 64);
    Md5Update(&context, pText, nTextLength);
    Md5Final(&context, bInner);
    Md5Init(&context);
    Md5Update(&context, bOuterPad, 64);
    Md5Update(&context, bInner, 16);
    Md5Final(&context, bDigest);
}

void HmacMd5Hex(const char* pszText, const char* pszKey, char* pszHex) {
    unsigned char bDigest[16];
    HmacMd5(pszText, strlen(pszText), pszKey, strlen(pszKey), bDigest);
    for (int i = 0; i < 16; ++i) static_cast<void>(FormatText(pszHex + i * 2, 3, "%02x", bDigest[i]));
}
