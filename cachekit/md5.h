// MD5 (RFC 1321) engine and digest texts, behind the digest exports and the ring.
// Nothing here keeps state between calls or allocates, except md5FileHex's read
// buffer, which lives for one call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Bytes read per fread by md5FileHex: bounds its memory whatever the file's size.
constexpr size_t MD5_FILE_CHUNK = 1048576;

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
// The ring computes its points with this alone, so it is kept apart from the
// context; a multi-lane variant would replace it there.
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
