/* cachekit.h - the C interface of libcachekit, the cache node's utility library.
 *
 * Every call is complete in itself: it keeps no state between calls, allocates
 * nothing the caller must free and takes no lock, so any thread may call any
 * export at any time. Texts are NUL-terminated. Results go into buffers that the
 * caller owns; their size is not passed, so each prototype states what the
 * caller must provide. A call given a null out returns at once and does
 * nothing. */
#ifndef CACHEKIT_H
#define CACHEKIT_H

#if defined(__GNUC__)
#define CACHEKIT_API __attribute__((visibility("default")))
#else
#define CACHEKIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* 0 when path names an existing file system object (symbolic links followed),
 * -1 otherwise; errno as access(2) left it. */
CACHEKIT_API int fileExist(const char *path);

/* MD5 of exactly the len bytes at data (zero bytes included, nothing past
 * data + len read) as 32 lowercase hex digits and a NUL: out must hold 33
 * bytes, and exactly 33 are written. len <= 0 gives the digest of the empty
 * input, d41d8cd98f00b204e9800998ecf8427e. */
CACHEKIT_API void md5data(char *out, const char *data, int len);

/* MD5 of the content of the file at path, as md5data; out must hold 33 bytes.
 * Reads 1 MiB at a time into a buffer of its own. A file that cannot be opened
 * or read to its end (a directory, an I/O error) gives the digest of the empty
 * input. */
CACHEKIT_API void md5file(char *out, const char *path);

/* Local cache path of url among the directories of dirs ("/data1|/data2"),
 * chosen by consistent hashing of the URL's file name. out must hold the
 * chosen directory's name, one '/', the URL without "http://" and a NUL; when
 * the URL holds a ':' behind its first '/', the piece between that '/' and the
 * ':' a second time. 3067 bytes always suffice.
 * Limits: dirs shorter than 10240 bytes with at least one name, none longer
 * than 1019 bytes; the URL without "http://" shorter than 1024 bytes, with a
 * '/' and a '.' behind its last '/'. Beyond them out receives the empty text. */
CACHEKIT_API void uri2d(char *out, const char *url, const char *dirs);

/* When the file system holding the directory of path has less than minFreeGB
 * GiB free (decimal text, default 80), removes up to maxFiles (default 20) of
 * the least recently accessed files below that directory, each through the
 * system shell. Blocks until done. None of the three may be null. */
CACHEKIT_API void checkdisk(const char *path, const char *minFreeGB, const char *maxFiles);

/* IPv4 addresses of host, asked of two fixed public DNS resolvers (UDP port 53,
 * up to ten attempts of 100 ms, about one second at most), written as "a.b.c.d|"
 * per address in reply order, or "false" when none was found. A null or empty
 * host, one with an empty label, a label over 63 bytes or more than 1006 bytes
 * (one trailing dot not counted) gives "false" without a query. out must hold
 * 1361 bytes. */
CACHEKIT_API void getmsgip(char *out, const char *host);

#ifdef __cplusplus
}
#endif

#endif /* CACHEKIT_H */
