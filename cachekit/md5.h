// MD5 (RFC 1321) engine and digest texts, behind the digest exports and the ring.
// Nothing here keeps state between calls or allocates, except md5FileHex's read
// buffer, which lives for one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes read per fread by md5FileHex: bounds its memory whatever the file's size.
constexpr size_t MD5_FILE_CHUNK = 1048576;

// RFC 1321's constants, the one copy that the scalar engine, the ring's labels
// and the lane kernels' jobs read. Step k (0..63) of the compression adds message
// word MD5_WORD[k] and MD5_T[k] (the integer part of 2^32 * |sin(k + 1)|), then
// rotates left by MD5_SHIFT[k].
inline constexpr uint32_t MD5_INIT[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
inline constexpr uint32_t MD5_T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
inline constexpr uint8_t MD5_WORD[64] = {
    0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,  // round 1: k
    1, 6, 11, 0,  5,  10, 15, 4,  9,  14, 3,  8,  13, 2,  7,  12,  // round 2: 5k + 1 mod 16
    5, 8, 11, 14, 1,  4,  7,  10, 13, 0,  3,  6,  9,  12, 15, 2,   // round 3: 3k + 5 mod 16
    0, 7, 14, 5,  12, 3,  10, 1,  8,  15, 6,  13, 4,  11, 2,  9};  // round 4: 7k mod 16
inline constexpr int MD5_SHIFT[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                      5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                      4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                      6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

struct Md5Context {
    uint32_t count[2];         // message bits so far, low word first, modulo 2^64
    uint32_t state[4];         // chaining values A, B, C, D
    unsigned char buffer[64];  // bytes of the block not yet complete
};

void md5Init(Md5Context *pCtx);
// Appends nLen bytes; whole blocks are compressed straight from pData.
void md5Update(Md5Context *pCtx, const void *pData, uint64_t nLen);
// Pads, appends the bit count and writes A, B, C, D little-endian into digest.
void md5Final(Md5Context *pCtx, unsigned char digest[16]);

// The compression function on one 64-byte block: state += rounds(state, block).
// Kept apart from the context because the ring's scalar path computes its points
// with block compressions alone (the lane kernels run their own).
void md5Transform(uint32_t state[4], const unsigned char *pBlock);
// md5Transform over nBlocks consecutive blocks, state kept in registers.
void md5Blocks(uint32_t state[4], const unsigned char *pBlocks, size_t nBlocks);

// 32 lowercase hex digits ("%02x" per byte) and a NUL into szHex.
void md5ToText(const unsigned char digest[16], char szHex[33]);

// Digest text of exactly nLen bytes at pData; zero bytes are hashed like any
// other and nothing past pData + nLen is read. nLen <= 0 (or a null pData)
// gives the digest of the empty input.
std::string md5Hex(const char *pData, int nLen);
// Digest text of the file's content, read in MD5_FILE_CHUNK pieces into one heap
// buffer. A file that cannot be opened, a read that fails before the end (a
// directory, an I/O error) and a buffer that cannot be had all give the digest
// of the empty input, never that of a partial read.
std::string md5FileHex(const char *pszPath);
