// URL-to-cache-path mapping: a URL's file name hashed onto the ring of the
// cache directories (ringscan.h), and the path built for the URL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dirlist.h"
#include "ringscan.h"

// The limits of the inputs; DIRS_TEXT_MAX, the longest list, comes with the list
// (dirlist.h) and DIR_NAME_MAX, the longest name, with the ring.
constexpr size_t URL_TEXT_MAX = 1024;  // the URL without "http://" is shorter than this
// Largest result uriToPath writes, NUL included: a name, '/', and two pieces of
// the URL text that together are at most twice its length.
constexpr size_t URI_PATH_MAX = DIR_NAME_MAX + 1 + 2 * (URL_TEXT_MAX - 1) + 1;

typedef std::map<uint64_t, std::string> DirRing;

// The whole ring of a list, later points replacing earlier ones on equal keys.
// Empty when the list has no names, is too long or holds a name longer than
// DIR_NAME_MAX.
DirRing buildRing(const char *pszDirs);
// Ring key of a digest text: its four groups of 8 hex digits, each read as a
// little-endian 32-bit value, added. Stops at the NUL; non-hex digits count 0.
uint64_t ringKey(const char *pszHex);

// Body of the uri2d export: writes the cache path of pszUrl among the
// directories of pszDirs into pszOut, at most URI_PATH_MAX bytes. Inputs beyond
// the limits (URL text of URL_TEXT_MAX bytes or more, no '/' in it, no '.'
// behind its last '/', a list without names, of DIRS_TEXT_MAX bytes or more or
// with a name longer than DIR_NAME_MAX) give the empty text.
void uriToPath(char *pszOut, const char *pszUrl, const char *pszDirs);
