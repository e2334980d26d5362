-- cachenode.sys: the C library as the front end uses it through LuaJIT's FFI
-- (glibc on x86-64 Linux): declarations, the numbers they take, and small
-- helpers over files, directories and processes. Every number below is
-- printed by tests/frontend/sys_probe.cc from the C headers and compared.

local ffi = require "ffi"
local bit = require "bit"

local C = ffi.C
local ffi_new = ffi.new
local ffi_string = ffi.string
local ffi_errno = ffi.errno
local ffi_cast = ffi.cast
local band = bit.band
local tonumber = tonumber


local _M = { _VERSION = "1.0" }

-- errno values
_M.EPERM = 1
_M.ENOENT = 2
_M.EEXIST = 17
_M.ENXIO = 6
_M.EIO = 5
_M.EAGAIN = 11
_M.EINVAL = 22
_M.EROFS = 30
_M.ENOSYS = 38
_M.EOPNOTSUPP = 95
_M.EUCLEAN = 117
-- open() flags, lseek() whences and stat() mode bits
_M.O_RDONLY = 0
_M.O_WRONLY = 1
_M.O_CREAT = 64
_M.O_EXCL = 128
_M.O_CLOEXEC = 524288
_M.O_DIRECTORY = 65536
_M.SEEK_DATA = 3
_M.SEEK_HOLE = 4
-- preadv2() flags and posix_fadvise() advice
_M.RWF_NOWAIT = 8
_M.POSIX_FADV_WILLNEED = 3
_M.S_IFMT = 61440
_M.S_IFDIR = 16384
_M.S_IFREG = 32768
-- address families of inet_pton()
_M.AF_INET = 2
_M.AF_INET6 = 10
-- signals, waitpid() and posix_spawn() flags
_M.SIGKILL = 9
_M.SIGPIPE = 13
_M.SIGCHLD = 17
_M.WNOHANG = 1
_M.POSIX_SPAWN_SETSIGDEF = 4
_M.POSIX_SPAWN_SETSIGMASK = 8
_M.POSIX_SPAWN_SETSID = 128
-- Sizes of the opaque spawn objects and of sigset_t; struct stat, statfs,
-- dirent and iovec are laid out field by field below, and the probe holds their sizes
-- and offsets.
_M.SIZEOF_POSIX_SPAWNATTR_T = 336
_M.SIZEOF_POSIX_SPAWN_FILE_ACTIONS_T = 80
_M.SIZEOF_SIGSET_T = 128

ffi.cdef([[
typedef struct { uint64_t opaque[]] .. _M.SIZEOF_POSIX_SPAWNATTR_T / 8 .. [[]; } cachenode_spawnattr_t;
typedef struct { uint64_t opaque[]] .. _M.SIZEOF_POSIX_SPAWN_FILE_ACTIONS_T / 8
    .. [[]; } cachenode_spawn_actions_t;
typedef struct { uint64_t bits[]] .. _M.SIZEOF_SIGSET_T / 8 .. [[]; } cachenode_sigset_t;
typedef void (*cachenode_sighandler_t)(int);
typedef struct {
    uint64_t st_dev; uint64_t st_ino; uint64_t st_nlink;
    uint32_t st_mode; uint32_t st_uid; uint32_t st_gid; int32_t pad0;
    uint64_t st_rdev; int64_t st_size; int64_t st_blksize; int64_t st_blocks;
    int64_t st_atim[2]; int64_t st_mtim[2]; int64_t st_ctim[2]; int64_t reserved[3];
} cachenode_stat_t;
typedef struct {
    int64_t f_type; int64_t f_bsize; uint64_t f_blocks; uint64_t f_bfree; uint64_t f_bavail;
    uint64_t f_files; uint64_t f_ffree; int32_t f_fsid[2]; int64_t f_namelen; int64_t f_frsize;
    int64_t f_flags; int64_t f_spare[4];
} cachenode_statfs_t;
typedef struct {
    uint64_t d_ino; int64_t d_off; unsigned short d_reclen; unsigned char d_type;
    char d_name[256];
} cachenode_dirent_t;
typedef struct cachenode_dir cachenode_dir_t;
typedef struct { void *iov_base; size_t iov_len; } cachenode_iovec_t;

int posix_spawnattr_init(cachenode_spawnattr_t *attr);
int posix_spawnattr_destroy(cachenode_spawnattr_t *attr);
int posix_spawnattr_setflags(cachenode_spawnattr_t *attr, short flags);
int posix_spawnattr_setsigmask(cachenode_spawnattr_t *attr, const cachenode_sigset_t *set);
int posix_spawnattr_setsigdefault(cachenode_spawnattr_t *attr, const cachenode_sigset_t *set);
int posix_spawn_file_actions_init(cachenode_spawn_actions_t *actions);
int posix_spawn_file_actions_destroy(cachenode_spawn_actions_t *actions);
int posix_spawn_file_actions_addopen(cachenode_spawn_actions_t *actions, int fd,
                                     const char *path, int oflag, unsigned int mode);
int posix_spawn_file_actions_addclosefrom_np(cachenode_spawn_actions_t *actions, int from);
int posix_spawn(int *pid, const char *path, const cachenode_spawn_actions_t *actions,
                const cachenode_spawnattr_t *attr, char *const argv[], char *const envp[]);
int sigemptyset(cachenode_sigset_t *set);
int sigaddset(cachenode_sigset_t *set, int sig);
cachenode_sighandler_t signal(int sig, cachenode_sighandler_t handler);
int waitpid(int pid, int *status, int options);
int kill(int pid, int sig);
extern char **environ;

int open(const char *path, int flags, ...);
int openat(int dirfd, const char *path, int flags, ...);
int unlinkat(int dirfd, const char *path, int flags);
int close(int fd);
int64_t pread(int fd, void *buf, size_t count, int64_t offset);
int64_t preadv2(int fd, const cachenode_iovec_t *iov, int iovcnt, int64_t offset, int flags);
int posix_fadvise(int fd, int64_t offset, int64_t len, int advice);
int64_t write(int fd, const void *buf, size_t count);
int fdatasync(int fd);
int64_t lseek(int fd, int64_t offset, int whence);
int stat(const char *path, cachenode_stat_t *st);
int fstat(int fd, cachenode_stat_t *st);
int statfs(const char *path, cachenode_statfs_t *st);
int rename(const char *from, const char *to);
int unlink(const char *path);
int mkdir(const char *path, unsigned int mode);
int rmdir(const char *path);
cachenode_dir_t *opendir(const char *path);
cachenode_dirent_t *readdir(cachenode_dir_t *dir);
int closedir(cachenode_dir_t *dir);
char *strerror(int errnum);
int inet_pton(int af, const char *src, void *dst);
void *memchr(const void *s, int c, size_t n);
int memcmp(const void *s1, const void *s2, size_t n);
]])

local st = ffi_new("cachenode_stat_t")
local addr_buf = ffi_new("unsigned char[16]")
local sfs = ffi_new("cachenode_statfs_t")
local MODE_0644 = ffi_cast("unsigned int", 420)


function _M.strerror(errnum)
    return ffi_string(C.strerror(errnum or ffi_errno()))
end
local strerror = _M.strerror


-- The type ("file", "dir" or "other"), size, device and inode of path, or
-- nil, the reason and errno.
function _M.stat(path)
    if C.stat(path, st) ~= 0 then
        local errno = ffi_errno()
        return nil, strerror(errno), errno
    end
    local kind = band(st.st_mode, _M.S_IFMT)
    return kind == _M.S_IFREG and "file" or kind == _M.S_IFDIR and "dir" or "other",
           tonumber(st.st_size), tonumber(st.st_dev), tonumber(st.st_ino)
end

-- The device and inode of the file behind fd, or nil and the reason.
function _M.fd_id(fd)
    if C.fstat(fd, st) ~= 0 then
        return nil, strerror()
    end
    return tonumber(st.st_dev), tonumber(st.st_ino)
end

function _M.is_file(path)
    return _M.stat(path) == "file"
end

-- Total and free bytes (for an unprivileged user) of the file system of path.
function _M.space(path)
    if C.statfs(path, sfs) ~= 0 then
        return nil, strerror()
    end
    return tonumber(sfs.f_blocks * sfs.f_frsize), tonumber(sfs.f_bavail * sfs.f_frsize)
end


-- The failure of the call just made: nil, the reason and errno.
local function failed()
    local errno = ffi_errno()
    return nil, strerror(errno), errno
end


-- A descriptor (close-on-exec) for reading path, or nil, the reason and
-- errno.
function _M.open_read(path)
    local fd = C.open(path, _M.O_RDONLY + _M.O_CLOEXEC)
    if fd < 0 then
        return failed()
    end
    return fd
end

-- Creates path, which must not exist, and removes it again: true when a
-- file may be made there, else nil, the reason and errno.
function _M.probe_create(path)
    local fd = C.open(path, _M.O_WRONLY + _M.O_CREAT + _M.O_EXCL + _M.O_CLOEXEC, MODE_0644)
    if fd < 0 then
        return failed()
    end
    C.close(fd)
    C.unlink(path)
    return true
end

-- A descriptor (close-on-exec) of the directory path, or nil, the reason
-- and errno.
function _M.open_dir(path)
    local fd = C.open(path, _M.O_RDONLY + _M.O_DIRECTORY + _M.O_CLOEXEC)
    if fd < 0 then
        return failed()
    end
    return fd
end

local PROBE_BYTES = 4096
local probe_block

-- Creates name, which must not exist, in the directory behind dirfd, writes
-- a block to the disk (fdatasync) and removes it again: true when the disk
-- takes a write (its directory may take a name still when it does not),
-- else nil, the reason and errno. The file is made where the descriptor
-- leads, whatever is mounted at the directory's path meanwhile. Blocks
-- until the disk answers: for a thread of the pool, not the event loop.
function _M.probe_write(dirfd, name)
    local fd = C.openat(dirfd, name, _M.O_WRONLY + _M.O_CREAT + _M.O_EXCL + _M.O_CLOEXEC, MODE_0644)
    if fd < 0 then
        return failed()
    end
    probe_block = probe_block or ffi_new("char[?]", PROBE_BYTES)
    local ok, err, errno = true, nil, nil
    if C.write(fd, probe_block, PROBE_BYTES) ~= PROBE_BYTES or C.fdatasync(fd) ~= 0 then
        ok, err, errno = failed()
    end
    C.close(fd)
    C.unlinkat(dirfd, name, 0)
    return ok, err, errno
end

function _M.close(fd)
    C.close(fd)
end

-- The size of the file behind fd.
function _M.size(fd)
    if C.fstat(fd, st) ~= 0 then
        return nil, strerror()
    end
    return tonumber(st.st_size)
end

-- The bytes of the file behind fd from its start that a writer that may
-- reserve the file's length (fallocate) or write it out of order has
-- written for sure: up to its first hole, where unwritten reserved ranges
-- read as holes too (tmpfs, ext4, xfs), less the block before that hole.
-- A hole begins only at the end of the block that holds the last byte
-- written, and the end of the file counts as one, so that block may be
-- partly written whatever the file's size says; it is held back until the
-- writer has gone past it (at most a block behind for a writer that writes
-- front to back; exact for one that writes each region front to back from a
-- block's start). Also the file's size, its allocated 512-byte blocks and
-- its device; nil, the reason and errno when lseek() or fstat() fails.
function _M.written(fd)
    if C.fstat(fd, st) ~= 0 then
        return failed()
    end
    local size, blocks, block = tonumber(st.st_size), tonumber(st.st_blocks), tonumber(st.st_blksize)
    local dev = tonumber(st.st_dev)
    local data = C.lseek(fd, 0, _M.SEEK_DATA)
    if data ~= 0 then
        -- ENXIO: no data at or after 0 (an empty file, or all hole).
        if data < 0 and ffi_errno() ~= _M.ENXIO then
            return failed()
        end
        return 0, size, blocks, dev
    end
    local hole = tonumber(C.lseek(fd, 0, _M.SEEK_HOLE))
    if hole < 0 then
        return failed()
    end
    -- The start of the block that holds byte hole - 1.
    return (hole - 1) - (hole - 1) % block, size, blocks, dev
end

-- Reads up to len bytes at offset into buf; the count, 0 at the end, or nil,
-- the reason and errno.
function _M.pread(fd, buf, len, offset)
    local n = C.pread(fd, buf, len, offset)
    if n < 0 then
        return failed()
    end
    return tonumber(n)
end

local iov = ffi_new("cachenode_iovec_t[1]")
local nowait = true -- false once preadv2 proved missing (ENOSYS, EPERM)

-- As pread, but only from the page cache, never waiting for a disk: nil,
-- "again" and EAGAIN when the first byte at offset is not in memory. A file
-- system that does not say (tmpfs, whose pages are memory: EOPNOTSUPP), or
-- a kernel or sandbox without preadv2, is read with pread.
function _M.pread_cached(fd, buf, len, offset)
    if not nowait then
        return _M.pread(fd, buf, len, offset)
    end
    iov[0].iov_base = buf
    iov[0].iov_len = len
    local n = C.preadv2(fd, iov, 1, offset, _M.RWF_NOWAIT)
    if n >= 0 then
        return tonumber(n)
    end
    local errno = ffi_errno()
    if errno == _M.EAGAIN then
        return nil, "again", errno
    end
    if errno == _M.ENOSYS or errno == _M.EPERM then
        nowait = false
        return _M.pread(fd, buf, len, offset)
    end
    -- These may be the file system's alone: asked again for the next file.
    if errno == _M.EOPNOTSUPP or errno == _M.EINVAL then
        return _M.pread(fd, buf, len, offset)
    end
    return nil, strerror(errno), errno
end

-- Asks the kernel to read len bytes of fd at offset into the page cache,
-- without waiting for them.
function _M.willneed(fd, offset, len)
    C.posix_fadvise(fd, offset, len, _M.POSIX_FADV_WILLNEED)
end

-- rename(), unlink() (ENOENT included), mkdir() (mode 0755) and rmdir():
-- true, or nil, the reason and errno.
function _M.rename(from, to)
    if C.rename(from, to) ~= 0 then
        return failed()
    end
    return true
end

function _M.unlink(path)
    if C.unlink(path) ~= 0 then
        return failed()
    end
    return true
end

function _M.mkdir(path)
    if C.mkdir(path, 493) ~= 0 then
        return failed()
    end
    return true
end

function _M.rmdir(path)
    if C.rmdir(path) ~= 0 then
        return failed()
    end
    return true
end


-- Calls fn(name) for each entry of the directory path but "." and "..";
-- true, or nil and the reason.
function _M.each_entry(path, fn)
    local dir = C.opendir(path)
    if dir == nil then
        return nil, strerror()
    end
    while true do
        local ent = C.readdir(dir)
        if ent == nil then
            break
        end
        local name = ffi_string(ent.d_name)
        if name ~= "." and name ~= ".." then
            fn(name)
        end
    end
    C.closedir(dir)
    return true
end


-- The bytes of an IPv4 address text (4) or an IPv6 one (16), as nginx's
-- $binary_remote_addr holds them, or nil.
function _M.inet_pton(text)
    if C.inet_pton(_M.AF_INET, text, addr_buf) == 1 then
        return ffi_string(addr_buf, 4)
    end
    if C.inet_pton(_M.AF_INET6, text, addr_buf) == 1 then
        return ffi_string(addr_buf, 16)
    end
    return nil
end


-- Whether process pid exists (one of another user answers EPERM).
function _M.alive(pid)
    return C.kill(pid, 0) == 0 or ffi_errno() == _M.EPERM
end


return _M
