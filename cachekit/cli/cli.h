// cachekit, libcachekit from a shell: what its three files share. main.cc loads the
// library, reads the options and dispatches; commands.cc holds one command per
// export; rebalance.cc answers the operator's question before a disk change.
#pragma once

#include <getopt.h>

#include <functional>
#include <string>
#include <vector>

#include "cachekit/include/cachekit.h"
#include "cachekit/uri.h"

// Exit statuses: a command that asks a yes/no question answers 0 or 1.
const int EXIT_YES = 0;
const int EXIT_NO = 1;
const int EXIT_ERROR = 2;

// The longest URL uri2d takes, without "http://".
const size_t MAX_URL_TEXT = URL_TEXT_MAX - 1;

// A command: its name, its line in the program's usage, its help, and its body,
// which gets the command's words with its name as argv[0] and returns the exit
// status.
struct sCommand {
    const char *pszName;
    const char *pszSummary;
    const char *pszHelp;
    int (*pRun)(int argc, char **argv);
};

extern const sCommand CMD_URI, CMD_MD5, CMD_EXISTS, CMD_RESOLVE, CMD_CHECKDISK;
extern const sCommand CMD_REBALANCE;

// ---- main.cc

// Writes "cachekit COMMAND: " and the text as one line on standard error; returns
// EXIT_ERROR.
int Fail(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));

// The export of that name, the library loaded on the first call; null after an
// error line.
void *Export(const char *pszName);
// The export `name` of cachekit.h, typed as the header declares it, so that the
// name looked up and the type called cannot part (decltype takes only the type:
// nothing of the library is linked).
#define EXPORT_OF(name) reinterpret_cast<decltype(&name)>(Export(#name))

extern const option HELP_ONLY[];  // --help, nothing else

const int OPTIONS_HELP = -1;    // ReadOptions printed the help
const int OPTIONS_FAILED = -2;  // ReadOptions printed an error line

// Reads the options of argv (argv[0] the program or the command) with getopt_long:
// -h and --help print the help, every other option of pLong goes to fnOption with
// its argument, and fnOption returns false after an error line of its own. With
// bInOrder the options end at the first operand; otherwise they may stand between
// and after the operands. Returns the index of the first operand (getopt moves the
// operands behind the options), OPTIONS_HELP or OPTIONS_FAILED.
int ReadOptions(int argc, char **argv, bool bInOrder, const option *pLong = HELP_ONLY,
                const std::function<bool(int, const char *)> &fnOption = {});

// The exit status of a command whose options ended it (ReadOptions gave nFirst < 0).
int OptionsExit(int nFirst);

// ---- commands.cc: argument checks that rebalance shares

// A whole decimal number from 1 to nMax, nothing before or after it.
bool ParsePositive(const char *pszText, long nMax, long &nValue);
// Checks a directory list against uri2d's limits; its names on success, else false
// after an error line that names the list pszWhat.
bool CheckDirs(const char *pszWhat, const char *pszDirs, std::vector<std::string> &listNames);
