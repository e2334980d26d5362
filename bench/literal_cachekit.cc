// A stand-in libcachekit for bench_frontend only: uri2d computed with the ring
// built literally (a std::map of the points' digest texts, rebuilt on every
// call) and fileExist, loaded by the front end through its cachekit_lib knob,
// so that the benchmark shows what the same host serves with such a library.
#include <unistd.h>

#include <cstring>
#include <string>

#include "uri.h"
#include "uri_literal.h"

extern "C" __attribute__((visibility("default"))) void uri2d(char *out, const char *url,
                                                             const char *dirs) {
    // The front end calls it only within the library's limits.
    std::string strPath = literal::uri2d(url, dirs);
    size_t nLen = strPath.size() < URI_PATH_MAX ? strPath.size() : URI_PATH_MAX - 1;
    std::memcpy(out, strPath.data(), nLen);
    out[nLen] = 0;
}

extern "C" __attribute__((visibility("default"))) int fileExist(const char *path) {
    return access(path, F_OK);
}
