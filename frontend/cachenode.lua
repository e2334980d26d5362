-- cachenode front end: maps a request to its cache file with libcachekit's
-- uri2d, lets nginx serve a file that is there (HIT) and fetches a missing one
-- through fetchwrap first (MISS); answers checkdisk's notification request and
-- runs the disk guard. Loaded by the nginx configuration rendered from
-- nginx.conf.in; every setting comes from there through init().

local ffi = require "ffi"
local bit = require "bit"
local lrucache = require "resty.lrucache"

local C = ffi.C
local ffi_new = ffi.new
local ffi_cast = ffi.cast
local ffi_string = ffi.string
local ffi_errno = ffi.errno
local band = bit.band
local rshift = bit.rshift
local ngx = ngx
local ngx_var = ngx.var
local ngx_log = ngx.log
local ngx_sleep = ngx.sleep
local ngx_now = ngx.now
local ngx_exit = ngx.exit
local get_method = ngx.req.get_method
local ERR = ngx.ERR
local WARN = ngx.WARN
local INFO = ngx.INFO
local NOTICE = ngx.NOTICE
local find = string.find
local sub = string.sub
local gsub = string.gsub
local gmatch = string.gmatch
local byte = string.byte
local char = string.char
local floor = math.floor
local tonumber = tonumber
local tostring = tostring
local error = error
local pcall = pcall
local ipairs = ipairs
local os_remove = os.remove


local _M = { _VERSION = "1.0" }


-- The library's six exports, as include/cachekit.h declares them (a test holds
-- the two texts against each other), then the C library calls the front end
-- makes itself: spawning a child without a shell, reaping it, creating
-- directories. The spawn attribute and file action objects are opaque to the
-- caller; their sizes are those of glibc on x86-64 (336 and 80 bytes).
ffi.cdef[[
int fileExist(const char *path);
void md5data(char *out, const char *data, int len);
void md5file(char *out, const char *path);
void uri2d(char *out, const char *url, const char *dirs);
void checkdisk(const char *path, const char *minFreeGB, const char *maxFiles);
void getmsgip(char *out, const char *host);

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
int mkdir(const char *path, unsigned int mode);
char *strerror(int errnum);
extern char **environ;
]]

local SIGKILL = 9
local SIGPIPE = 13
local SIGCHLD = 17
local WNOHANG = 1
local EEXIST = 17
local O_RDONLY = 0
local O_WRONLY = 1
local POSIX_SPAWN_SETSIGDEF = 0x04
local POSIX_SPAWN_SETSIGMASK = 0x08
local POSIX_SPAWN_SETSID = 0x80

-- Limits of uri2d: the URL without "http://" is shorter than URL_TEXT_MAX, the
-- directory list shorter than DIRS_TEXT_MAX, a name at most DIR_NAME_MAX
-- bytes; the result never exceeds PATH_MAX_BYTES.
local URL_TEXT_MAX = 1024
local DIRS_TEXT_MAX = 10240
local DIR_NAME_MAX = 1019
local PATH_MAX_BYTES = 3067

-- After SIGKILL a child is waited for this long; a finished fetch leaves its
-- status this long for the requests that waited on it.
local KILL_REAP_SECONDS = 2
local OUTCOME_SECONDS = 10
-- Waiting requests poll the shared dictionary with this back-off (seconds).
local POLL_FIRST = 0.005
local POLL_MAX = 0.05

local conf          -- the settings given to init()
local lib           -- libcachekit, loaded by ffi.load
local dirs          -- the cache directories in list order
local memo          -- per-worker url -> cache file, or nil
local fetching      -- the shared dictionary of fetches in progress
local path_buf = ffi_new("char[?]", PATH_MAX_BYTES)
local guard_running = false


local function strerror(errnum)
    return ffi_string(C.strerror(errnum))
end


-- Bytes an nginx knob may hold when it reaches Lua (nginx.conf.in refuses the
-- rest); a cache directory name holds only these too.
local NAME_PATTERN = "^[%w/%._:|,+=@%%%-]+$"

-- The names of a directory list as uri2d reads it: runs of '|' separate
-- names, blanks directly behind a separator are dropped.
local function split_dirs(text)
    local names = {}
    for piece in gmatch(text, "[^|]+") do
        piece = gsub(piece, "^ +", "")
        if piece ~= "" then
            names[#names + 1] = piece
        end
    end
    return names
end


-- Each name must be absolute and canonical (no empty, "." or ".." piece, no
-- trailing '/'), so that every cache path is the text checkdisk's walk gives
-- for the same file.
local function check_dir(name)
    if #name > DIR_NAME_MAX or not find(name, NAME_PATTERN) then
        return "holds a byte outside letters, digits and / . _ : , + = @ % - or is too long"
    end
    if byte(name, 1) ~= 47 or #name < 2 or byte(name, -1) == 47 then
        return "must be absolute and must not end in '/'"
    end
    if find(name, "//", 1, true) then
        return "must not hold an empty piece"
    end
    for piece in gmatch(name, "[^/]+") do
        if piece == "." or piece == ".." then
            return "must not hold a '.' or '..' piece"
        end
    end
    return nil
end


-- A knob that must be a whole number of at least min.
local function number(opts, key, min)
    local value = tonumber(opts[key])
    if not value or value < min or value ~= floor(value) then
        error("cachenode: " .. key .. " must be a whole number of at least " .. min
              .. ", not \"" .. tostring(opts[key]) .. "\"", 2)
    end
    return value
end


-- Called once from init_by_lua with the knobs of nginx.conf.in. Errors stop
-- nginx from starting, with the reason.
function _M.init(opts)
    local text = opts.cache_dirs or ""
    if #text >= DIRS_TEXT_MAX then
        error("cachenode: cache_dirs is " .. #text .. " bytes, the library takes fewer than "
              .. DIRS_TEXT_MAX)
    end
    dirs = split_dirs(text)
    if #dirs == 0 then
        error("cachenode: cache_dirs names no directory")
    end
    for _, name in ipairs(dirs) do
        local why = check_dir(name)
        if why then
            error("cachenode: cache directory \"" .. name .. "\" " .. why)
        end
    end

    conf = {
        cache_dirs = text,
        fetchwrap = opts.fetchwrap,
        cachekit_cli = opts.cachekit_cli,
        cachekit_lib = opts.cachekit_lib,
        fetch_timeout = number(opts, "fetch_timeout", 1),
        guard_interval = number(opts, "guard_interval", 0),
        guard_min_free_gb = tostring(number(opts, "guard_min_free_gb", 1)),
        guard_max_files = tostring(number(opts, "guard_max_files", 1)),
    }
    local memo_size = number(opts, "memo_size", 0)

    local ok, loaded = pcall(ffi.load, conf.cachekit_lib)
    if not ok then
        error("cachenode: ffi.load(\"" .. tostring(conf.cachekit_lib) .. "\") failed: "
              .. tostring(loaded))
    end
    lib = loaded

    if memo_size > 0 then
        local err
        memo, err = lrucache.new(memo_size)
        if not memo then
            error("cachenode: lrucache.new(" .. memo_size .. ") failed: " .. tostring(err))
        end
    end

    fetching = ngx.shared.cachenode_fetch
    if not fetching then
        error("cachenode: lua_shared_dict cachenode_fetch is not configured")
    end
end


-- Runs argv (argv[1] the program's path) in a session of its own, without a
-- shell: standard input and output on /dev/null, standard error that of the
-- worker (nginx's error log), no other descriptor of the worker. The
-- environment is the worker's (nginx's env directives). Returns the pid, or
-- nil and the reason.
local function spawn(argv)
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
local function reap(pid, deadline)
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
        ngx_sleep(delay)
        if delay < POLL_MAX then
            delay = delay * 2
        end
    end
end


-- Stops a child and everything it started (its session), then reaps it.
local function kill_session(pid)
    C.kill(-pid, SIGKILL)
    local code, err = reap(pid, ngx_now() + KILL_REAP_SECONDS)
    if not code then
        ngx_log(ERR, "cachenode: waitpid() for killed child ", pid, " failed: ", err)
    end
end


-- Why the pieces of a path text ("a/b/c") are refused, or nil: an empty, "."
-- or ".." piece, a malformed percent escape, or one decoding to NUL or to a
-- "." or ".." piece (the raw text lands on disk; the origin decodes it).
local function bad_segments(text)
    for piece in gmatch(text, "[^/]*") do
        -- gmatch yields an empty match behind each '/'; a real empty piece
        -- shows up as "//" below.
        if piece == "." or piece == ".." then
            return "a '.' or '..' piece"
        end
        if find(piece, "%", 1, true) then
            if find((gsub(piece, "%%%x%x", "")), "%", 1, true) then
                return "a malformed percent escape"
            end
            local decoded = gsub(piece, "%%(%x%x)", function(hex)
                return char(tonumber(hex, 16))
            end)
            if decoded == "." or decoded == ".." then
                return "an encoded '.' or '..' piece"
            end
            if find(decoded, "\0", 1, true) then
                return "an encoded NUL"
            end
        end
    end
    if find(text, "//", 1, true) or byte(text, -1) == 47 or byte(text, 1) == 47 then
        return "an empty piece"
    end
    return nil
end


-- Bytes a request target may hold (RFC 3986: unreserved, sub-delims, ':',
-- '@', '/', '?' and percent escapes). Anything else, NUL and blanks included,
-- is refused before it can reach a file name or a command line.
local TARGET_BAD = "[^%w%-%._~!%$&'%(%)%*%+,;=:@/%%%?]"

-- The cache file of a URL text (host and request target, without
-- "http://"): the path and the length of its cache directory, or nil and the
-- reason the request is refused.
local function cache_file(text, host)
    if #text >= URL_TEXT_MAX then
        return nil, "the URL is " .. #text .. " bytes, the library takes fewer than " .. URL_TEXT_MAX
    end
    if find(text, TARGET_BAD) then
        return nil, "a byte outside the URL characters"
    end
    if host == "" or find(host, "[^%w%-%._]") or find(host, "^%.") or find(host, "%.%.") then
        return nil, "a bad host name"
    end
    local path_end = find(text, "?", 1, true)
    local path = sub(text, #host + 2, path_end and path_end - 1 or #text)
    local why = bad_segments(path)
    if why then
        return nil, why
    end
    if path_end and find(sub(text, path_end), "%%00") then
        return nil, "an encoded NUL"
    end
    if not find(path, "%.[^/]*$") then
        return nil, "no '.' in the last piece of the path"
    end

    lib.uri2d(path_buf, text, conf.cache_dirs)
    local file = ffi_string(path_buf)
    if file == "" then
        return nil, "outside the limits of uri2d"
    end
    -- The file must be the cache directory, '/' and a piece of the URL text
    -- from its start: uri2d only cuts behind the extension, except that a ':'
    -- in the path cuts the text there and repeats a piece, which would give
    -- different URLs one file.
    for _, dir in ipairs(dirs) do
        local n = #dir
        if sub(file, 1, n + 1) == dir .. "/" then
            local rest = sub(file, n + 2)
            if #rest <= #text and sub(text, 1, #rest) == rest
               and #rest > #host + 1 and not bad_segments(rest)
            then
                return file, n
            end
        end
    end
    return nil, "uri2d gave \"" .. file .. "\", not a piece of the URL below a cache directory"
end


-- Creates the directories between the cache directory (which must exist:
-- a missing disk is not recreated on the root file system) and the file.
local function make_parents(file, dir_len)
    local pos = dir_len + 1
    while true do
        pos = find(file, "/", pos + 1, true)
        if not pos then
            return true
        end
        local dir = sub(file, 1, pos - 1)
        if C.mkdir(dir, 493) ~= 0 then  -- 0755
            local errno = ffi_errno()
            if errno ~= EEXIST then
                return nil, "mkdir() \"" .. dir .. "\" failed: " .. strerror(errno)
            end
        end
    end
end


-- Runs fetchwrap for one file; returns the HTTP status for the request.
local function run_fetch(file, dir_len, url)
    local ok, err = make_parents(file, dir_len)
    if not ok then
        ngx_log(ERR, "cachenode: ", err)
        return 500
    end
    local pid
    pid, err = spawn({ conf.fetchwrap, file, url })
    if not pid then
        ngx_log(ERR, "cachenode: posix_spawn() \"", conf.fetchwrap, "\" failed: ", err)
        return 500
    end
    local code
    code, err = reap(pid, ngx_now() + conf.fetch_timeout)
    if code == 0 then
        return 200
    end
    if not code then
        if err == "timeout" then
            ngx_log(WARN, "cachenode: fetch of \"", url, "\" into \"", file,
                    "\" took over ", conf.fetch_timeout, " s, killed")
            kill_session(pid)
        else
            ngx_log(ERR, "cachenode: fetchwrap for \"", file, "\": ", err)
        end
    else
        ngx_log(WARN, "cachenode: fetchwrap \"", file, "\" \"", url, "\" exited with ", code)
    end
    -- fetchwrap removes an unreadable result; a killed client may have left
    -- part of a file.
    os_remove(file)
    if err == "timeout" then
        return 504
    end
    if code == 1 then
        return 400
    end
    return 502
end


-- One fetch per file for all workers: the first request adds the file to
-- the shared dictionary and fetches; the others poll the dictionary until
-- the entry is gone and then take the file, or the first request's status.
-- The entries are only added when there is room (safe_add): evicting one of
-- a running fetch would let a second fetch and an eviction of the file in.
local function fetch_once(file, dir_len, url)
    local busy = "b" .. file
    local limit = conf.fetch_timeout + KILL_REAP_SECONDS + 1
    local ok, err = fetching:safe_add(busy, 1, limit)
    if ok then
        local status = run_fetch(file, dir_len, url)
        fetching:safe_set("o" .. file, status, OUTCOME_SECONDS)
        fetching:delete(busy)
        return status
    end
    if err ~= "exists" then
        ngx_log(ERR, "cachenode: lua_shared_dict cachenode_fetch add \"", file, "\" failed: ", err)
        return 503
    end

    local deadline = ngx_now() + limit
    local delay = POLL_FIRST
    while fetching:get(busy) do
        if ngx_now() >= deadline then
            return 504
        end
        ngx_sleep(delay)
        if delay < POLL_MAX then
            delay = delay * 2
        end
    end
    if lib.fileExist(file) == 0 then
        return 200
    end
    return fetching:get("o" .. file) or 502
end


-- access_by_lua handler of the cache location: sets $cachenode_file and
-- $cachenode_status for the static module (alias $cachenode_file), or ends
-- the request with its status.
function _M.serve()
    local method = get_method()
    if method ~= "GET" and method ~= "HEAD" then
        return ngx_exit(405)
    end
    if not ngx_var.http_host then
        ngx_log(INFO, "cachenode: refused, no Host header")
        return ngx_exit(400)
    end
    local host = ngx_var.host
    local text = host .. ngx_var.request_uri

    local file, dir_len
    local known = memo and memo:get(text)
    if known then
        file, dir_len = known[1], known[2]
    else
        file, dir_len = cache_file(text, host)
        if not file then
            ngx_log(INFO, "cachenode: refused \"", text, "\": ", dir_len)
            return ngx_exit(400)
        end
        if memo then
            memo:set(text, { file, dir_len })
        end
    end

    if lib.fileExist(file) == 0 and not fetching:get("b" .. file) then
        ngx_var.cachenode_file = file
        ngx_var.cachenode_status = "HIT"
        return
    end
    local status = fetch_once(file, dir_len, "http://" .. text)
    if status ~= 200 then
        return ngx_exit(status)
    end
    ngx_var.cachenode_file = file
    ngx_var.cachenode_status = "MISS"
end


-- content_by_lua handler of checkdisk's notification, a HEAD request for the
-- configured URL with "&vid=<path>" appended as it stands: "200 OK" lets the
-- file go, 409 keeps a file whose fetch is running.
function _M.ondelete()
    local target = ngx_var.request_uri
    local _, vid_at = find(target, "&vid=", 1, true)
    if not vid_at then
        ngx.status = 400
        ngx.say("no &vid=")
        return
    end
    local file = sub(target, vid_at + 1)
    if fetching:get("b" .. file) then
        ngx_log(NOTICE, "cachenode: eviction of \"", file, "\" refused, fetch running")
        ngx.status = 409
        ngx.say("fetching")
        return
    end
    ngx.status = 200
    ngx.say("OK")
end


-- Runs checkdisk for each cache directory in turn, each in a process of its
-- own (the cachekit command), so that no worker waits on a walk or a shell.
local function guard(premature)
    if premature or guard_running then
        return
    end
    guard_running = true
    for _, dir in ipairs(dirs) do
        local pid, err = spawn({ conf.cachekit_cli, "--lib", conf.cachekit_lib, "checkdisk", dir,
                                 "--min-free", conf.guard_min_free_gb,
                                 "--max-files", conf.guard_max_files, "--yes" })
        if not pid then
            ngx_log(ERR, "cachenode: posix_spawn() \"", conf.cachekit_cli, "\" failed: ", err)
            break
        end
        local code
        code, err = reap(pid, nil)
        if code ~= 0 then
            ngx_log(ERR, "cachenode: checkdisk \"", dir, "\": ",
                    code and ("exit status " .. code) or err)
        end
    end
    guard_running = false
end


-- init_worker_by_lua: children of a worker are reaped by reap(), so nginx's
-- own SIGCHLD handler (which reaps any child) must not run in the workers.
-- Worker 0 runs the disk guard.
function _M.init_worker()
    C.signal(SIGCHLD, ffi_cast("cachenode_sighandler_t", 0))
    if conf.guard_interval > 0 and ngx.worker.id() == 0 then
        local ok, err = ngx.timer.every(conf.guard_interval, guard)
        if not ok then
            ngx_log(ERR, "cachenode: ngx.timer.every(", conf.guard_interval, ") failed: ", err)
        end
    end
end


return _M
