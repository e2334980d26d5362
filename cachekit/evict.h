// Free-space check and eviction of the least recently accessed cache files.
#pragma once

// Body of the checkdisk export (contract in cachekit.h).
void checkDiskSpace(const char *pszPath, const char *pszMinFreeGB, const char *pszMaxFiles);
