// MD5 (RFC 1321): the block compression fully unrolled over the constants of
// md5.h, the streaming context, and the digest texts built on them.
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

// Step k: a = b + ((a + f(b, c, d) + X[MD5_WORD[k]] + MD5_T[k]) <<< MD5_SHIFT[k]).
// Every index is a constant, so the tables fold into the instructions.
#define MD5_STEP(f, a, b, c, d, k)               \
    a += load32(p + 4 * MD5_WORD[k]) + MD5_T[k]; \
    a += f(b, c, d);                             \
    a = rotl(a, MD5_SHIFT[k]) + b;

// Four steps from step k, the roles of a, b, c and d turning by one each step.
#define MD5_STEP4(f, k)              \
    MD5_STEP(f, a, b, c, d, (k))     \
    MD5_STEP(f, d, a, b, c, (k) + 1) \
    MD5_STEP(f, c, d, a, b, (k) + 2) \
    MD5_STEP(f, b, c, d, a, (k) + 3)

}  // namespace

void md5Blocks(uint32_t state[4], const unsigned char *p, size_t nBlocks) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; nBlocks > 0; --nBlocks, p += 64) {
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP4(MD5_F, 0)
        MD5_STEP4(MD5_F, 4)
        MD5_STEP4(MD5_F, 8)
        MD5_STEP4(MD5_F, 12)

        MD5_STEP4(MD5_G, 16)
        MD5_STEP4(MD5_G, 20)
        MD5_STEP4(MD5_G, 24)
        MD5_STEP4(MD5_G, 28)

        MD5_STEP4(MD5_H, 32)
        MD5_STEP4(MD5_H, 36)
        MD5_STEP4(MD5_H, 40)
        MD5_STEP4(MD5_H, 44)

        MD5_STEP4(MD5_I, 48)
        MD5_STEP4(MD5_I, 52)
        MD5_STEP4(MD5_I, 56)
        MD5_STEP4(MD5_I, 60)

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
    for (int i = 0; i < 4; ++i) pCtx->state[i] = MD5_INIT[i];
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
