-- cachenode.child: the child processes of a worker (fetchwrap, the disk
-- guard's cachekit), started without a shell and waited for by polling, so
-- that the event loop never blocks on them.

local ffi = require "ffi"
local bit = require "bit"

local C = ffi.C
local ffi_new = ffi.new
local ffi_cast = ffi.cast
local ffi_string = ffi.string
local ffi_errno = ffi.errno
local band = bit.band
local rshift = bit.rshift
local ngx = ngx
local ngx_log = ngx.log
local ngx_sleep = ngx.sleep
local ngx_now = ngx.now
local ERR = ngx.ERR
local ipairs = ipairs


local _M = { _VERSION = "1.0" }


-- The spawn attribute and file action objects are opaque to the caller; their
-- sizes are those of glibc on x86-64 (336 and 80 bytes).
ffi.cdef[[
typedef struct { uint64_t opaque[42]; } cachenode_spawnattr_t;
typedef struct { uint64_t opaque[10]; } cachenode_spawn_actions_t;
typedef struct { uint64_t bits[16]; } cachenode_sigset_t;
typedef void (*cachenode_sighandler_t)(int);

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
char *strerror(int errnum);
extern char **environ;
]]

local SIGKILL = 9
local SIGPIPE = 13
local SIGCHLD = 17
local WNOHANG = 1
local O_RDONLY = 0
local O_WRONLY = 1
local POSIX_SPAWN_SETSIGDEF = 0x04
local POSIX_SPAWN_SETSIGMASK = 0x08
local POSIX_SPAWN_SETSID = 0x80

-- After SIGKILL a child is waited for this long.
_M.KILL_REAP_SECONDS = 2
-- Polls back off from POLL_FIRST to POLL_MAX seconds.
local POLL_FIRST = 0.005
local POLL_MAX = 0.05
_M.POLL_FIRST = POLL_FIRST


-- Sleeps delay seconds (the event loop goes on) and returns the next poll's.
function _M.backoff(delay)
    ngx_sleep(delay)
    if delay < POLL_MAX then
        return delay * 2
    end
    return delay
end
local backoff = _M.backoff


function _M.strerror(errnum)
    return ffi_string(C.strerror(errnum))
end
local strerror = _M.strerror


-- Runs argv (argv[1] the program's path) in a session of its own, without a
-- shell: standard input and output on /dev/null, standard error that of the
-- worker (nginx's error log), no other descriptor of the worker. The
-- environment is the worker's (nginx's env directives). Returns the pid, or
-- nil and the reason.
function _M.spawn(argv)
    local attr = ffi_new("cachenode_spawnattr_t")
    local actions = ffi_new("cachenode_spawn_actions_t")
    local sigs = ffi_new("cachenode_sigset_t")
    C.posix_spawnattr_init(attr)
    C.posix_spawn_file_actions_init(actions)
    C.sigemptyset(sigs)
    C.posix_spawnattr_setsigmask(attr, sigs)
    -- nginx ignores SIGPIPE, and an ignored signal stays ignored across exec.
    C.sigaddset(sigs, SIGPIPE)
    C.posix_spawnattr_setsigdefault(attr, sigs)
    C.posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSID + POSIX_SPAWN_SETSIGDEF
                                     + POSIX_SPAWN_SETSIGMASK)
    C.posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0)
    C.posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0)
    -- nginx's listening sockets are not close-on-exec.
    C.posix_spawn_file_actions_addclosefrom_np(actions, 3)

    local cargv = ffi_new("char *[?]", #argv + 1)
    for i, arg in ipairs(argv) do
        cargv[i - 1] = ffi_cast("char *", arg)
    end
    local pid = ffi_new("int[1]")
    local rc = C.posix_spawn(pid, argv[1], actions, attr, cargv, C.environ)
    -- The file actions hold memory of their own.
    C.posix_spawn_file_actions_destroy(actions)
    C.posix_spawnattr_destroy(attr)
    if rc ~= 0 then
        return nil, strerror(rc)
    end
    return pid[0]
end


-- Waits, polling, for the child pid until the time ngx.now() reaches deadline
-- (nil: no limit). Returns the exit status (a killing signal as 128 + number),
-- or nil and "timeout" or the reason.
function _M.reap(pid, deadline)
    local status = ffi_new("int[1]")
    local delay = POLL_FIRST
    while true do
        local rc = C.waitpid(pid, status, WNOHANG)
        if rc == pid then
            local raw = status[0]
            if band(raw, 0x7f) == 0 then
                return band(rshift(raw, 8), 0xff)
            end
            return 128 + band(raw, 0x7f)
        end
        if rc < 0 then
            return nil, "waitpid() failed: " .. strerror(ffi_errno())
        end
        if deadline and ngx_now() >= deadline then
            return nil, "timeout"
        end
        delay = backoff(delay)
    end
end
local reap = _M.reap


-- Stops a child and everything it started (its session), then reaps it.
function _M.kill_session(pid)
    C.kill(-pid, SIGKILL)
    local code, err = reap(pid, ngx_now() + _M.KILL_REAP_SECONDS)
    if not code then
        ngx_log(ERR, "cachenode: waitpid() for killed child ", pid, " failed: ", err)
    end
end


-- For init_worker: children of a worker are reaped by reap(), so nginx's own
-- SIGCHLD handler (which reaps any child) must not run in the workers.
function _M.reap_own_children()
    C.signal(SIGCHLD, ffi_cast("cachenode_sighandler_t", 0))
end


return _M
