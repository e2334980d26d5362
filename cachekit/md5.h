// MD5 (RFC 1321) engine and digest texts used by the digest exports and the ring.
#pragma once

#include <cstdint>
#include <string>

struct Md5Context {
    uint32_t count[2];  // message bits so far, low word first, modulo 2^64
    uint32_t state[4];  // chaining values A, B, C, D
    unsigned char buffer[64];  // bytes of the block not yet complete
};

void md5Init(Md5Context *pCtx);
void md5Update(Md5Context *pCtx, const void *pData, uint64_t nLen);
void md5Final(Md5Context *pCtx, unsigned char digest[16]);

// Digest text (32 lowercase hex characters) of exactly nLen bytes at pData.
std::string md5Hex(const char *pData, int nLen);
// Digest text of the file's content; the empty input's digest when it cannot be opened.
std::string md5FileHex(const char *pszPath);
