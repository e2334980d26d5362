// MD5 (RFC 1321): the block compression fully unrolled with its constants
// inline, the streaming context, and the digest texts built on them.
#include "md5.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the block loads below assume a little-endian host"
#endif

namespace {

// Appended to every message; its first bit ends the message (RFC 1321, 3.1).
const unsigned char PADDING[64] = {0x80};

inline uint32_t load32(const unsigned char *p) {
    uint32_t nWord;
    std::memcpy(&nWord, p, 4);
    return nWord;
}

inline void store32(unsigned char *p, uint32_t nWord) {
    std::memcpy(p, &nWord, 4);
}

inline uint32_t rotl(uint32_t x, int s) {
    return (x << s) | (x >> (32 - s));
}

// The four round functions, written so that the terms that do not wait for b
// (the word computed by the previous step) can be formed early.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) (((c) & ~(d)) + ((b) & (d)))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

// a = b + ((a + f(b, c, d) + X[i] + T) <<< s)
#define MD5_STEP(f, a, b, c, d, i, t, s)      \
    a += load32(p + 4 * (i)) + (uint32_t)(t); \
    a += f(b, c, d);                          \
    a = rotl(a, s) + b;

}  // namespace

void md5Blocks(uint32_t state[4], const unsigned char *p, size_t nBlocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; nBlocks > 0; --nBlocks, p += 64) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP(MD5_F, a, b, c, d, 0, 0xd76aa478, 7)
        MD5_STEP(MD5_F, d, a, b, c, 1, 0xe8c7b756, 12)
        MD5_STEP(MD5_F, c, d, a, b, 2, 0x242070db, 17)
        MD5_STEP(MD5_F, b, c, d, a, 3, 0xc1bdceee, 22)
        MD5_STEP(MD5_F, a, b, c, d, 4, 0xf57c0faf, 7)
        MD5_STEP(MD5_F, d, a, b, c, 5, 0x4787c62a, 12)
        MD5_STEP(MD5_F, c, d, a, b, 6, 0xa8304613, 17)
        MD5_STEP(MD5_F, b, c, d, a, 7, 0xfd469501, 22)
        MD5_STEP(MD5_F, a, b, c, d, 8, 0x698098d8, 7)
        MD5_STEP(MD5_F, d, a, b, c, 9, 0x8b44f7af, 12)
        MD5_STEP(MD5_F, c, d, a, b, 10, 0xffff5bb1, 17)
        MD5_STEP(MD5_F, b, c, d, a, 11, 0x895cd7be, 22)
        MD5_STEP(MD5_F, a, b, c, d, 12, 0x6b901122, 7)
        MD5_STEP(MD5_F, d, a, b, c, 13, 0xfd987193, 12)
        MD5_STEP(MD5_F, c, d, a, b, 14, 0xa679438e, 17)
        MD5_STEP(MD5_F, b, c, d, a, 15, 0x49b40821, 22)

        MD5_STEP(MD5_G, a, b, c, d, 1, 0xf61e2562, 5)
        MD5_STEP(MD5_G, d, a, b, c, 6, 0xc040b340, 9)
        MD5_STEP(MD5_G, c, d, a, b, 11, 0x265e5a51, 14)
        MD5_STEP(MD5_G, b, c, d, a, 0, 0xe9b6c7aa, 20)
        MD5_STEP(MD5_G, a, b, c, d, 5, 0xd62f105d, 5)
        MD5_STEP(MD5_G, d, a, b, c, 10, 0x02441453, 9)
        MD5_STEP(MD5_G, c, d, a, b, 15, 0xd8a1e681, 14)
        MD5_STEP(MD5_G, b, c, d, a, 4, 0xe7d3fbc8, 20)
        MD5_STEP(MD5_G, a, b, c, d, 9, 0x21e1cde6, 5)
        MD5_STEP(MD5_G, d, a, b, c, 14, 0xc33707d6, 9)
        MD5_STEP(MD5_G, c, d, a, b, 3, 0xf4d50d87, 14)
        MD5_STEP(MD5_G, b, c, d, a, 8, 0x455a14ed, 20)
        MD5_STEP(MD5_G, a, b, c, d, 13, 0xa9e3e905, 5)
        MD5_STEP(MD5_G, d, a, b, c, 2, 0xfcefa3f8, 9)
        MD5_STEP(MD5_G, c, d, a, b, 7, 0x676f02d9, 14)
        MD5_STEP(MD5_G, b, c, d, a, 12, 0x8d2a4c8a, 20)

        MD5_STEP(MD5_H, a, b, c, d, 5, 0xfffa3942, 4)
        MD5_STEP(MD5_H, d, a, b, c, 8, 0x8771f681, 11)
        MD5_STEP(MD5_H, c, d, a, b, 11, 0x6d9d6122, 16)
        MD5_STEP(MD5_H, b, c, d, a, 14, 0xfde5380c, 23)
        MD5_STEP(MD5_H, a, b, c, d, 1, 0xa4beea44, 4)
        MD5_STEP(MD5_H, d, a, b, c, 4, 0x4bdecfa9, 11)
        MD5_STEP(MD5_H, c, d, a, b, 7, 0xf6bb4b60, 16)
        MD5_STEP(MD5_H, b, c, d, a, 10, 0xbebfbc70, 23)
        MD5_STEP(MD5_H, a, b, c, d, 13, 0x289b7ec6, 4)
        MD5_STEP(MD5_H, d, a, b, c, 0, 0xeaa127fa, 11)
        MD5_STEP(MD5_H, c, d, a, b, 3, 0xd4ef3085, 16)
        MD5_STEP(MD5_H, b, c, d, a, 6, 0x04881d05, 23)
        MD5_STEP(MD5_H, a, b, c, d, 9, 0xd9d4d039, 4)
        MD5_STEP(MD5_H, d, a, b, c, 12, 0xe6db99e5, 11)
        MD5_STEP(MD5_H, c, d, a, b, 15, 0x1fa27cf8, 16)
        MD5_STEP(MD5_H, b, c, d, a, 2, 0xc4ac5665, 23)

        MD5_STEP(MD5_I, a, b, c, d, 0, 0xf4292244, 6)
        MD5_STEP(MD5_I, d, a, b, c, 7, 0x432aff97, 10)
        MD5_STEP(MD5_I, c, d, a, b, 14, 0xab9423a7, 15)
        MD5_STEP(MD5_I, b, c, d, a, 5, 0xfc93a039, 21)
        MD5_STEP(MD5_I, a, b, c, d, 12, 0x655b59c3, 6)
        MD5_STEP(MD5_I, d, a, b, c, 3, 0x8f0ccc92, 10)
        MD5_STEP(MD5_I, c, d, a, b, 10, 0xffeff47d, 15)
        MD5_STEP(MD5_I, b, c, d, a, 1, 0x85845dd1, 21)
        MD5_STEP(MD5_I, a, b, c, d, 8, 0x6fa87e4f, 6)
        MD5_STEP(MD5_I, d, a, b, c, 15, 0xfe2ce6e0, 10)
        MD5_STEP(MD5_I, c, d, a, b, 6, 0xa3014314, 15)
        MD5_STEP(MD5_I, b, c, d, a, 13, 0x4e0811a1, 21)
        MD5_STEP(MD5_I, a, b, c, d, 4, 0xf7537e82, 6)
        MD5_STEP(MD5_I, d, a, b, c, 11, 0xbd3af235, 10)
        MD5_STEP(MD5_I, c, d, a, b, 2, 0x2ad7d2bb, 15)
        MD5_STEP(MD5_I, b, c, d, a, 9, 0xeb86d391, 21)

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

void md5Transform(uint32_t state[4], const unsigned char *pBlock) {
    md5Blocks(state, pBlock, 1);
}

void md5Init(Md5Context *pCtx) {
    pCtx->count[0] = 0;
    pCtx->count[1] = 0;
    pCtx->state[0] = 0x67452301;
    pCtx->state[1] = 0xefcdab89;
    pCtx->state[2] = 0x98badcfe;
    pCtx->state[3] = 0x10325476;
}

void md5Update(Md5Context *pCtx, const void *pData, uint64_t nLen) {
    if (nLen == 0) return;
    const unsigned char *p = static_cast<const unsigned char *>(pData);
    size_t nIndex = (pCtx->count[0] >> 3) & 63;

    // 8 * nLen into the 64-bit bit count: its low 32 bits with carry, then the
    // bits of nLen that the shift moves into the high word.
    const uint32_t nLow = pCtx->count[0] + (uint32_t)(nLen << 3);
    if (nLow < pCtx->count[0]) ++pCtx->count[1];
    pCtx->count[1] += (uint32_t)(nLen >> 29);
    pCtx->count[0] = nLow;

    if (nIndex != 0) {
        const size_t nFill = 64 - nIndex;
        if (nLen < nFill) {
            std::memcpy(pCtx->buffer + nIndex, p, nLen);
            return;
        }
        std::memcpy(pCtx->buffer + nIndex, p, nFill);
        md5Blocks(pCtx->state, pCtx->buffer, 1);
        p += nFill;
        nLen -= nFill;
    }
    const uint64_t nWhole = nLen / 64;
    if (nWhole > 0) md5Blocks(pCtx->state, p, nWhole);
    p += nWhole * 64;
    nLen -= nWhole * 64;
    if (nLen > 0) std::memcpy(pCtx->buffer, p, nLen);
}

void md5Final(Md5Context *pCtx, unsigned char digest[16]) {
    unsigned char aBits[8];
    store32(aBits, pCtx->count[0]);
    store32(aBits + 4, pCtx->count[1]);
    // Pad to 56 bytes modulo 64, leaving room for the 8 count bytes.
    const size_t nIndex = (pCtx->count[0] >> 3) & 63;
    md5Update(pCtx, PADDING, nIndex < 56 ? 56 - nIndex : 120 - nIndex);
    md5Update(pCtx, aBits, 8);
    for (int i = 0; i < 4; ++i) store32(digest + 4 * i, pCtx->state[i]);
}

void md5ToText(const unsigned char digest[16], char szHex[33]) {
    static const char HEX[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        szHex[2 * i] = HEX[digest[i] >> 4];
        szHex[2 * i + 1] = HEX[digest[i] & 15];
    }
    szHex[32] = 0;
}

namespace {

std::string finalText(Md5Context *pCtx) {
    unsigned char digest[16];
    char szHex[33];
    md5Final(pCtx, digest);
    md5ToText(digest, szHex);
    return std::string(szHex, 32);
}

}  // namespace

std::string md5Hex(const char *pData, int nLen) {
    Md5Context ctx;
    md5Init(&ctx);
    if (pData != nullptr && nLen > 0) md5Update(&ctx, pData, (uint64_t)nLen);
    return finalText(&ctx);
}

std::string md5FileHex(const char *pszPath) {
    Md5Context ctx;
    md5Init(&ctx);
    FILE *pFile = pszPath != nullptr ? std::fopen(pszPath, "rb") : nullptr;
    unsigned char *pBuf = static_cast<unsigned char *>(std::malloc(MD5_FILE_CHUNK));
    if (pFile != nullptr && pBuf != nullptr) {
        while (!std::feof(pFile)) {
            const size_t nRead = std::fread(pBuf, 1, MD5_FILE_CHUNK, pFile);
            if (nRead > 0) md5Update(&ctx, pBuf, nRead);
            // A stream in error never reaches end-of-file (a directory reads as
            // EISDIR for ever): stop, and answer as for a file that cannot be
            // opened rather than with the digest of a truncated content.
            if (std::ferror(pFile)) {
                md5Init(&ctx);
                break;
            }
        }
    }
    if (pFile != nullptr) std::fclose(pFile);
    std::free(pBuf);
    return finalText(&ctx);
}
