// Private mount namespaces for the eviction tests: the generated commands write
// under /usr/local/dadiv-urede and run `find /` and `rm`, which must never touch
// the real machine. Also what the eviction tests share: the hostile file names and
// the maker of old files.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace evicttest {

enum { SANDBOX_PASSED, SANDBOX_FAILED, SANDBOX_SKIPPED };

// Runs fnBody in a forked child that has its own mount namespace in which
// /usr/local is an empty tmpfs holding /usr/local/dadiv-urede/{conf,logs}; the
// rest of the file system is the real one. Gtest assertions inside fnBody print
// as usual; the result says whether any failed, or SANDBOX_SKIPPED with the
// reason in strWhy when the namespace could not be made.
int RunWithPrivateNodeDir(const std::function<void()> &fnBody, std::string &strWhy);

// Runs fnBody in a forked child chrooted into a small private root on a tmpfs,
// so that `find /` walks only a few thousand entries: /usr/bin and the system
// libraries bound read-only from the host, /dev/null, /usr/local/dadiv-urede
// (a tmpfs with conf/ and logs/), /links (a plain directory) and /data, a
// tmpfs of pszDataSize ("200g" leaves plenty free, "64m" little). fnPrepare
// runs before the chroot (to dlopen the library, for instance). Loopback is
// the host's, so a server started by the parent on 127.0.0.1 is reachable.
int RunInPrivateRoot(const char *pszDataSize, const std::function<void()> &fnPrepare,
                     const std::function<void()> &fnBody, std::string &strWhy);

// Sets the access time of pszPath (links followed) to llSeconds, keeping mtime.
bool SetAtime(const std::string &strPath, long long llSeconds);

// Access time of strPath in seconds (links followed), -1 when it cannot be read.
long long GetAtime(const std::string &strPath);

// Writes a small file at strPath with access time llAtime (test assertions check
// both steps).
void MakeFile(const std::string &strPath, long long llAtime);

// File names that a shell would take for more than a name: substitutions, quotes,
// separators, blanks, pattern characters, line feeds and backslashes. Each alone
// executed would create a file named X in the working directory or the root.
extern const std::vector<std::string> HOSTILE_NAMES;

}  // namespace evicttest
