// MD5 engine: the input's first bytes choose how the rest is cut into updates;
// the digest of any sequence of updates equals OpenSSL's digest of the whole, and
// md5Hex of the whole gives the same text.
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "md5.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    if (nSize < 1) return 0;
    // Cut lengths: one byte each taken from the head, as many as the first byte says.
    size_t nCuts = pData[0] % 16;
    if (nSize < 1 + nCuts) return 0;
    const uint8_t *pCuts = pData + 1;
    const uint8_t *pMsg = pData + 1 + nCuts;
    size_t nMsg = nSize - 1 - nCuts;

    Md5Context ctx;
    md5Init(&ctx);
    size_t nAt = 0;
    for (size_t i = 0; nAt < nMsg; ++i) {
        // Cut 0 is an empty update; lengths repeat once the cuts run out.
        size_t nPiece = nCuts == 0 ? nMsg - nAt : (size_t)pCuts[i % nCuts] * ((i & 1) ? 1 : 3);
        if (nPiece > nMsg - nAt) nPiece = nMsg - nAt;
        md5Update(&ctx, pMsg + nAt, nPiece);
        nAt += nPiece;
        if (i > 4 * nMsg + 16) break;  // all cuts zero: the rest in one piece below
    }
    md5Update(&ctx, pMsg + nAt, nMsg - nAt);
    unsigned char digest[16];
    md5Final(&ctx, digest);

    unsigned char ref[EVP_MAX_MD_SIZE];
    unsigned int nRef = 0;
    FUZZ_CHECK(EVP_Digest(pMsg, nMsg, ref, &nRef, EVP_md5(), nullptr) == 1 && nRef == 16,
               "EVP_Digest failed");
    FUZZ_CHECK(std::memcmp(digest, ref, 16) == 0,
               "digest differs from OpenSSL for %zu bytes in %zu cuts", nMsg, nCuts);

    char szRef[33];
    md5ToText(ref, szRef);
    std::string strHex = md5Hex((const char *)pMsg, (int)nMsg);
    FUZZ_CHECK(strHex == szRef, "md5Hex %s != %s", strHex.c_str(), szRef);
    return 0;
}
