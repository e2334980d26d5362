// The six plain-C exports of libcachekit: thin shims over the internals. The
// linker version script lets only these names out of the library. An export
// with a result buffer returns at once when that buffer is null.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cachekit.h"
#include "dns.h"
#include "evict.h"
#include "md5.h"
#include "uri.h"

namespace {

// Digest text is 32 characters; exactly those and a NUL reach the caller.
void copyDigest(char *pszOut, const std::string &strHex) {
    std::memcpy(pszOut, strHex.data(), 32);
    pszOut[32] = 0;
}

}  // namespace

extern "C" {

int fileExist(const char *path) {
    return access(path, F_OK);
}

// A negative len or a null data gives the digest of the empty input.
void md5data(char *out, const char *data, int len) {
    if (out == nullptr) return;
    copyDigest(out, md5Hex(data, len));
}

void md5file(char *out, const char *path) {
    if (out == nullptr) return;
    copyDigest(out, md5FileHex(path));
}

// Null texts are answered like any input beyond the limits: the empty path.
void uri2d(char *out, const char *url, const char *dirs) {
    if (out == nullptr) return;
    if (url == nullptr || dirs == nullptr) {
        out[0] = 0;
        return;
    }
    uriToPath(out, url, dirs);
}

void checkdisk(const char *path, const char *minFreeGB, const char *maxFiles) {
    checkDiskSpace(path, minFreeGB, maxFiles);
}

void getmsgip(char *out, const char *host) {
    if (out == nullptr) return;
    std::vector<std::string> listAddr;
    if (host != nullptr && host[0] != 0) listAddr = dnsQueryA(host);
    // At most 1024 characters and the NUL: within the 1361 bytes the caller provides.
    std::string strText = dnsJoinAddresses(listAddr);
    std::memcpy(out, strText.c_str(), strText.size() + 1);
}

}  // extern "C"
