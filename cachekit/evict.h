// Free-space check and eviction of the least recently accessed cache files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// Node files: the notification URL is the first line of ONDELETE_FILE; the
// generated commands append one line per chosen file to AUTODEL_LOG.
constexpr const char *ONDELETE_FILE = "/usr/local/dadiv-urede/conf/onDelete.txt";
constexpr const char *AUTODEL_LOG = "/usr/local/dadiv-urede/logs/autodel.log";

constexpr int DEFAULT_MIN_FREE_GB = 80;
constexpr int DEFAULT_MAX_FILES = 20;
// Size of one command text with its NUL; a command that does not fit is not run.
constexpr size_t AUTODEL_CMD_SIZE = 10240;
// Seconds curl may spend on the notification request; running out counts as a refusal.
constexpr int NOTIFY_MAX_TIME = 10;

// Access time (whole seconds) to path, ascending: the oldest files met by the walk.
typedef std::map<int64_t, std::string> OldestMap;

// Body of the checkdisk export (contract in cachekit.h).
void checkDiskSpace(const char *pszPath, const char *pszMinFreeGB, const char *pszMaxFiles);

// pszText read as "%d" reads it: leading white space, a sign, decimal digits,
// anything after them ignored; a value beyond int saturates. nDefault when no
// number is there or the number is 0 or negative.
int parseCount(const char *pszText, int nDefault);

// 1 when ullBavail blocks of ullBsize bytes make fewer than nMinFreeGB whole GiB
// (2^30 bytes, any fraction dropped), else 0.
int isBelowThreshold(uint64_t ullBavail, uint64_t ullBsize, int nMinFreeGB);

// The walk root for a directory: a '/' appended unless it ends in '/' or '\',
// every '\' made '/', every run of '/' made one. Always ends in '/'.
std::string normaliseWalkRoot(const std::string &strDir);

// The insertion rule of the walk for one file: mapOldest keeps the files of the
// nLimit smallest distinct access times met, one path per time, the one met last
// among those met while there was room or while the time was held below the largest.
void insertCandidate(OldestMap &mapOldest, int nLimit, int64_t llKey, const std::string &strPath);

// Walks the tree below strDir (which ends in '/') depth first and offers every
// entry that the listing does not report as a directory to insertCandidate,
// keyed by the access time of what it names (symbolic links followed). Entries
// whose status cannot be read and directories that cannot be opened contribute
// nothing.
void collectOldest(const std::string &strDir, int nLimit, OldestMap &mapOldest);

// The notification URL: the first line of pszFile (at most 1023 bytes) cut at its
// first CR, then at its first LF. Empty when the file cannot be opened or holds
// nothing.
std::string readDeleteUrl(const char *pszFile = ONDELETE_FILE);

// Writes into szCmd (AUTODEL_CMD_SIZE bytes) the shell command that evicts
// strPath: without strUrl it removes the file, every symbolic link whose target
// text is strPath, and logs "autodel"; with strUrl it first asks strUrl + "&vid="
// + strPath with a HEAD request and does so only on "200 OK", else logs "can not
// autodel". A path and URL made of plain bytes (isShellPlain, isShellPlainUrl)
// go into the text as they stand; any other pair is assigned to single-quoted
// shell variables first and used only as "$p", "$pat" and "$u". Returns 1 when
// the text is complete, 0 when it would not fit (szCmd is then empty: skip the file).
int buildAutodelCommand(char *szCmd, const std::string &strPath, const std::string &strUrl);
