// The key=value configuration store: a line-oriented file of key=value pairs,
// comments and blank lines, loaded whole, changed in memory and written back whole
// on every change, so that comments and order survive.
#pragma once

#include <cstddef>

// Limits. A line of the file may be of any length; an entry block is at least
// CONFIG_BLOCK_SIZE bytes and larger when its text and value need it, so no line
// is ever cut or split. At most CONFIG_MAX_ENTRIES entries are held: a file with
// more is loaded in part and marked bIncomplete, and such a store is never saved
// (a save would drop the lines that were not loaded).
const int CONFIG_MAX_ENTRIES = 1024;
const size_t CONFIG_BLOCK_SIZE = 512;
const size_t CONFIG_PATH_SIZE = 1024;

// Entry block layout:
//   [0]      kind: 1 key/value pair, 0 comment or blank line
//   [1..]    text, NUL-terminated: the key; a comment from its '#'; " " for a blank
//   [..]     pairs only: the value, NUL-terminated, right after the text's NUL
struct sBaseConfig {
    sBaseConfig();
    ~sBaseConfig();
    sBaseConfig(const sBaseConfig &) = delete;
    sBaseConfig &operator=(const sBaseConfig &) = delete;

    char fileName[CONFIG_PATH_SIZE];
    char *entries[CONFIG_MAX_ENTRIES];
    int entryCount;
    // Set when the file held more entries than fit, or its path was 1024 bytes or
    // longer (fileName then stays empty): SaveConfig refuses such a store.
    bool bIncomplete;
};

// A new store, owned by the caller, with the entries of pszFile. A file that
// cannot be opened gives a store with no entries (the first save creates it).
sBaseConfig *ReadConfig(const char *fileName);

// Writes every entry to fileName anew ("w+"); when the open fails, creates the
// file's directory and tries once more. 1 when the whole file was written and
// closed; 0 when it could not be opened, a write or the close failed, or the
// store is bIncomplete (the file is then not touched).
int SaveConfig(sBaseConfig *config);

// Creates the directory name and its parents with "mkdir -p <name>/" through the
// shell, every backslash turned into '/'; a name with bytes that are special to
// the shell is single-quoted. 0 when name is null or empty or the command would
// not fit its 1024-byte buffer (nothing is run), else 1 (mkdir's result is not
// looked at).
int createDirByName(const char *name);

// The command createDirByName runs for name into szCmd (nSize bytes); 1, or 0 as
// createDirByName's refusals, szCmd then empty.
int FormatMkdirCommand(const char *name, char *szCmd, size_t nSize);

// Lookups and changes on a loaded file. An entry matches a name when its text is
// not empty and equals the name byte for byte; the first match in file order wins.
// Every change saves the whole file and returns 1 even when that save fails.
// Not thread-safe; the file is not locked.
class CBaseConfig {
public:
    explicit CBaseConfig(const char *fileName);
    ~CBaseConfig();  // frees the store; saves nothing
    CBaseConfig(const CBaseConfig &) = delete;
    CBaseConfig &operator=(const CBaseConfig &) = delete;

    // The value of the first matching pair, pointing into its block (valid until
    // that entry changes or the object goes); null when nothing matches, when the
    // first match is a comment or blank (they carry no value), or with no store.
    char *GetValue(const char *key);
    // Gives the first match value and saves: 1. 0 without saving when nothing
    // matches, the first match is not a pair, or there is no store.
    int SetValue(const char *key, const char *value);
    // Appends a pair and saves: 1. 0 without change when key already matches, the
    // store holds CONFIG_MAX_ENTRIES entries, or there is no store.
    int AddValue(const char *key, const char *value);
    // As AddValue(key, value) for a kind-0 entry (a comment when text begins with
    // '#', else saved as an empty line).
    int AddValue(const char *text);
    // Removes the first match, keeping the order of the rest, and saves: 1.
    // 0 when nothing matches or there is no store.
    int DelValue(const char *key);

    sBaseConfig *store;

private:
    int FindEntry(const char *key) const;
    int AppendEntry(char *pBlock);
};
