// URL-to-cache-path mapping: the ring of directory points and the path built for a URL.
#pragma once

// Body of the uri2d export: writes the cache path of pszUrl among the
// directories of pszDirs into pszOut (sizes as cachekit.h states).
void uriToPath(char *pszOut, const char *pszUrl, const char *pszDirs);
