// The MD5 engine against RFC 1321 and OpenSSL, and the digest and file-test
// exports as the host calls them.
#include "md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <string>

#include "cachekit_dl.h"
#include "child.h"
#include "guarded.h"
#include "marker_out.h"
#include "tempdir.h"

namespace {

const char EMPTY_DIGEST[] = "d41d8cd98f00b204e9800998ecf8427e";

std::string opensslHex(const std::string &strData) {
    unsigned char digest[16];
    unsigned int nLen = 0;
    EVP_Digest(strData.data(), strData.size(), digest, &nLen, EVP_md5(), nullptr);
    char szHex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(szHex + 2 * i, 3, "%02x", digest[i]);
    return szHex;
}

std::string randomBytes(std::mt19937 &rng, size_t nLen) {
    std::string strData(nLen, 0);
    for (char &c : strData) c = (char)(rng() & 0xff);
    return strData;
}

// The export's output through WrittenText: 32 lowercase hex digits and a NUL,
// exactly 33 bytes written.
template <typename F>
std::string viaExport(F fn) {
    const std::string strHex = WrittenText(33, fn);
    EXPECT_EQ(strHex.size(), 32u) << strHex;
    for (size_t i = 0; i < strHex.size(); ++i)
        EXPECT_TRUE((strHex[i] >= '0' && strHex[i] <= '9') ||
                    (strHex[i] >= 'a' && strHex[i] <= 'f'))
            << "byte " << i;
    return strHex;
}

const cachekit_dl::sExports &lib() {
    const cachekit_dl::sExports &e = cachekit_dl::Exports();
    EXPECT_NE(e.md5data, nullptr) << dlerror();
    return e;
}

}  // namespace

TEST(Md5Digest, Rfc1321Suite) {
    const struct {
        const char *pszIn;
        const char *pszDigest;
    } CASES[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &c : CASES) {
        EXPECT_EQ(md5Hex(c.pszIn, (int)std::strlen(c.pszIn)), c.pszDigest) << '"' << c.pszIn << '"';
        char szOut[33];
        lib().md5data(szOut, c.pszIn, (int)std::strlen(c.pszIn));
        EXPECT_STREQ(szOut, c.pszDigest) << "md5data \"" << c.pszIn << '"';
    }
}

// Padding boundaries: one block, the length spilling into a second block, whole
// blocks and one byte over.
TEST(Md5Digest, PaddingBoundariesMatchOpenssl) {
    std::mt19937 rng(55);
    for (int nLen : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
        std::string strData = randomBytes(rng, (size_t)nLen);
        EXPECT_EQ(md5Hex(strData.data(), nLen), opensslHex(strData)) << "length " << nLen;
    }
}

TEST(Md5Digest, RandomInputsMatchOpenssl) {
    std::mt19937 rng(1321);
    for (int i = 0; i < 400; ++i) {
        const size_t nLen = i < 300 ? rng() % 300 : rng() % 70000;
        std::string strData = randomBytes(rng, nLen);
        EXPECT_EQ(md5Hex(strData.data(), (int)nLen), opensslHex(strData)) << "length " << nLen;
    }
}

// Updates in pieces of every size give the digest of the whole: the buffered
// partial block and the direct whole-block path meet at arbitrary offsets.
TEST(Md5Digest, PiecewiseUpdatesEqualOneUpdate) {
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        std::string strData = randomBytes(rng, rng() % 2000);
        Md5Context ctx;
        md5Init(&ctx);
        size_t nAt = 0;
        while (nAt < strData.size()) {
            size_t nPiece = std::min<size_t>(strData.size() - nAt, rng() % 150);
            md5Update(&ctx, strData.data() + nAt, nPiece);
            nAt += nPiece;
        }
        unsigned char digest[16];
        char szHex[33];
        md5Final(&ctx, digest);
        md5ToText(digest, szHex);
        EXPECT_EQ(szHex, opensslHex(strData)) << "case " << i << ", length " << strData.size();
    }
}

// The low word of the bit count wraps every 512 MiB; the carry must reach the
// high word.
TEST(Md5Digest, BitCountCarriesIntoHighWord) {
    Md5Context ctx;
    md5Init(&ctx);
    ctx.count[0] = 0xffffff00u;
    ctx.count[1] = 7;
    unsigned char aBlock[64] = {0};
    md5Update(&ctx, aBlock, 64);
    EXPECT_EQ(ctx.count[0], 0x100u);
    EXPECT_EQ(ctx.count[1], 8u);
}

// Exactly len bytes are hashed: zero bytes inside count, the byte after the
// range is never read (it lies on an inaccessible page).
TEST(Md5Digest, HashesExactlyLenBytes) {
    std::mt19937 rng(3);
    for (int nLen = 0; nLen <= 140; ++nLen) {
        std::string strData = randomBytes(rng, (size_t)nLen);
        if (nLen > 2) strData[(size_t)nLen / 2] = 0;
        CGuarded guarded(strData);
        char szOut[33];
        lib().md5data(szOut, guarded.Bytes(), nLen);
        EXPECT_EQ(szOut, opensslHex(strData)) << "length " << nLen;
    }
}

TEST(Md5Digest, ExportWritesExactly33Bytes) {
    static const char DATA[] = "abc";
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5data(pszOut, DATA, 3); }),
              "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5data(pszOut, DATA, 0); }), EMPTY_DIGEST);
}

// A negative length or a null data pointer is refused as the empty input.
TEST(Md5Digest, NegativeLengthGivesEmptyDigest) {
    static const char DATA[] = "abc";
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5data(pszOut, DATA, -1); }), EMPTY_DIGEST);
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5data(pszOut, DATA, -2147483647 - 1); }),
              EMPTY_DIGEST);
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5data(pszOut, nullptr, 10); }), EMPTY_DIGEST);
}

TEST(Md5File, ContentDigestsMatchOpenssl) {
    testsupport::CTempDir dir;
    std::mt19937 rng(11);
    for (size_t nLen : {(size_t)0, (size_t)3, (size_t)1048575, (size_t)1048576, (size_t)1048577,
                        (size_t)2097152, (size_t)2097152 + 17}) {
        std::string strData = randomBytes(rng, nLen);
        const std::string strPath = dir.File("f" + std::to_string(nLen));
        ASSERT_TRUE(testsupport::WriteFile(strPath, strData));
        EXPECT_EQ(viaExport([&](char *pszOut) { lib().md5file(pszOut, strPath.c_str()); }),
                  opensslHex(strData))
            << nLen << " bytes";
        EXPECT_EQ(md5FileHex(strPath.c_str()), md5Hex(strData.data(), (int)nLen))
            << nLen << " bytes";
    }
}

TEST(Md5File, MissingFileGivesEmptyDigest) {
    testsupport::CTempDir dir;
    const std::string strPath = dir.File("missing");
    EXPECT_EQ(viaExport([&](char *pszOut) { lib().md5file(pszOut, strPath.c_str()); }),
              EMPTY_DIGEST);
    EXPECT_EQ(viaExport([](char *pszOut) { lib().md5file(pszOut, nullptr); }), EMPTY_DIGEST);
}

// A directory opens but every read fails without ever reaching end-of-file: the
// read loop has to stop on the error. Run in a child with an alarm so that a
// loop that never ends fails the test instead of hanging the suite.
TEST(Md5File, DirectoryEndsReadLoopWithEmptyDigest) {
    testsupport::CTempDir dir;
    int nEnd = testsupport::RunForked([&] {
        alarm(20);  // SIGALRM ends a loop that never stops
        char szOut[33] = {0};
        lib().md5file(szOut, dir.Path().c_str());
        EXPECT_STREQ(szOut, EMPTY_DIGEST);
    });
    EXPECT_EQ(nEnd, 0) << "md5file on a directory did not return, or gave another digest";
}

TEST(FileExist, KindsOfPaths) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.File("file"), "x"));
    ASSERT_EQ(mkdir(dir.File("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.File("file").c_str(), dir.File("link").c_str()), 0);
    ASSERT_EQ(symlink(dir.File("gone").c_str(), dir.File("dangling").c_str()), 0);
    ASSERT_EQ(symlink(dir.File("sub").c_str(), dir.File("dirlink").c_str()), 0);
    const struct {
        std::string strPath;
        int nResult;
    } CASES[] = {
        {dir.File("file"), 0},
        {dir.File("sub"), 0},
        {dir.File("link"), 0},
        {dir.File("dirlink"), 0},
        {dir.File("dangling"), -1},
        {dir.File("gone"), -1},
        {dir.File("file") + "/x", -1},
        {"", -1},
        {"/dev/null", 0},
    };
    const cachekit_dl::sExports &e = lib();
    ASSERT_NE(e.fileExist, nullptr);
    for (const auto &c : CASES)
        EXPECT_EQ(e.fileExist(c.strPath.c_str()), c.nResult) << '"' << c.strPath << '"';
}
