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

// The kind of an entry, the first byte of its block.
enum EConfigKind {
    CONFIG_KIND_LINE = 0,  // a comment or a blank line
    CONFIG_KIND_PAIR = 1,  // a key/value pair
};

// Entry block layout:
//   [0]      kind (EConfigKind)
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

// A new store, owned by the caller, with the entries of fileName. A file that
// cannot be opened gives a store with no entries (the first save creates it).
sBaseConfig *ReadConfig(const char *fileName);

// Writes every entry to a new file beside fileName (".<name>.<pid>.<n>", created
// with O_EXCL), flushes it to disk and renames it over fileName, so that the file
// is either the old one, byte for byte, or the whole new one, even when the disk
// fills or the process is killed. The new file gets the old one's owner, group
// and mode (a new name: 0666 less the umask). A symbolic link stays a link: the
// name it leads to is the one replaced, created when missing. When the new file
// cannot be created for want of its directory, creates that directory and tries
// once more. 1 when the new content is in place; 0, with the old file untouched
// and the new file removed, when anything failed, when the name is something
// else than a regular file (a device, a FIFO, a directory), when an existing file
// is not writable by this process or its owner and group cannot be given to the
// new file (another user's file, saved by a process that is not root), or when
// the store is bIncomplete. The
// directory must be writable. A killed save can leave its new file behind.
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
    // As AddValue(key, value) for a CONFIG_KIND_LINE entry (a comment when text
    // begins with '#', else saved as an empty line).
    int AddValue(const char *text);
    // Removes the first match, keeping the order of the rest, and saves: 1.
    // 0 when nothing matches or there is no store.
    int DelValue(const char *key);

    sBaseConfig *store;

private:
    int FindEntry(const char *key) const;
    int AppendEntry(char *pBlock);
};
