-- cachenode.child: the child processes of a worker (fetchwrap, the disk
-- guard's cachekit), started without a shell in a session of their own and
-- waited for by polling, so that the event loop never blocks on them.

local ffi = require "ffi"
local bit = require "bit"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"

local C = ffi.C
local ffi_new = ffi.new
local ffi_cast = ffi.cast
local ffi_errno = ffi.errno
local band = bit.band
local rshift = bit.rshift
local ngx = ngx
local ngx_sleep = ngx.sleep
local ngx_now = ngx.now
local ipairs = ipairs
local find = string.find
local strerror = sys.strerror


local _M = { _VERSION = "1.0" }


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
    C.sigaddset(sigs, sys.SIGPIPE)
    C.posix_spawnattr_setsigdefault(attr, sigs)
    C.posix_spawnattr_setflags(attr, sys.POSIX_SPAWN_SETSID + sys.POSIX_SPAWN_SETSIGDEF
                                     + sys.POSIX_SPAWN_SETSIGMASK)
    C.posix_spawn_file_actions_addopen(actions, 0, "/dev/null", sys.O_RDONLY, 0)
    C.posix_spawn_file_actions_addopen(actions, 1, "/dev/null", sys.O_WRONLY, 0)
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


local status = ffi_new("int[1]")

-- The exit status of the child pid if it has ended (a killing signal as 128
-- + number), false while it runs, or nil and the reason.
function _M.exited(pid)
    local rc = C.waitpid(pid, status, sys.WNOHANG)
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
    return false
end
local exited = _M.exited


-- Waits, polling (waits.child), for the child pid until ngx.now() reaches
-- deadline. Returns its exit status, or nil and "timeout" or the reason.
function _M.wait(pid, deadline)
    local step = 0
    while true do
        local code, err = exited(pid)
        if code then
            return code
        end
        if code == nil then
            return nil, err
        end
        local left = deadline - ngx_now()
        if left <= 0 then
            return nil, "timeout"
        end
        step = waits.step(waits.child, step, left)
        ngx_sleep(step)
    end
end


-- Whether pid is still the process that was started with marker among its
-- arguments. A dead worker's child is not this worker's to reap: once it has
-- ended, its pid may come back as another session's.
local function runs_with(pid, marker)
    local f = io.open("/proc/" .. pid .. "/cmdline", "rb")
    if not f then
        return false
    end
    local cmdline = f:read("*a")
    f:close()
    return find(cmdline, "\0" .. marker .. "\0", 1, true) ~= nil
end


-- Kills the session that child pid leads: the child and everything it
-- started. The worker's own child (own true) is then waited for; another
-- worker's (one that died) is only killed, and only while it still runs with
-- marker among its arguments. Returns nil and the reason when the child
-- could not be reaped.
function _M.kill_session(pid, own, marker)
    if not own then
        if runs_with(pid, marker) then
            C.kill(-pid, sys.SIGKILL)
        end
        return true
    end
    C.kill(-pid, sys.SIGKILL)
    local code, err = _M.wait(pid, ngx_now() + waits.kill_reap)
    if not code then
        return nil, err
    end
    return true
end


-- For init_worker: children of a worker are reaped by exited() and wait(), so
-- nginx's own SIGCHLD handler (which reaps any child) must not run in the
-- workers.
function _M.reap_own_children()
    C.signal(sys.SIGCHLD, ffi_cast("cachenode_sighandler_t", 0))
end


return _M
