// The built libcachekit.so loaded with dlopen and its exports looked up by their
// plain names, as the host process does.
#pragma once

#include <dlfcn.h>

namespace cachekit_dl {

struct sExports {
    void *pHandle;
    int (*fileExist)(const char *);
    void (*md5data)(char *, const char *, int);
    void (*md5file)(char *, const char *);
    void (*uri2d)(char *, const char *, const char *);
    void (*checkdisk)(const char *, const char *, const char *);
    void (*getmsgip)(char *, const char *);
};

// Loaded once per test program (per process: a forked child that calls it first
// loads its own); null members when the library or a name is missing.
inline const sExports &Exports() {
    static const sExports exports = [] {
        sExports e = {};
        e.pHandle = dlopen(CACHEKIT_LIB, RTLD_NOW | RTLD_LOCAL);
        if (e.pHandle == nullptr) return e;
        e.fileExist = reinterpret_cast<int (*)(const char *)>(dlsym(e.pHandle, "fileExist"));
        e.md5data =
            reinterpret_cast<void (*)(char *, const char *, int)>(dlsym(e.pHandle, "md5data"));
        e.md5file = reinterpret_cast<void (*)(char *, const char *)>(dlsym(e.pHandle, "md5file"));
        e.uri2d = reinterpret_cast<void (*)(char *, const char *, const char *)>(
            dlsym(e.pHandle, "uri2d"));
        e.checkdisk = reinterpret_cast<void (*)(const char *, const char *, const char *)>(
            dlsym(e.pHandle, "checkdisk"));
        e.getmsgip = reinterpret_cast<void (*)(char *, const char *)>(dlsym(e.pHandle, "getmsgip"));
        return e;
    }();
    return exports;
}

}  // namespace cachekit_dl
