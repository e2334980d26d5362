-- cachenode front end: maps a request to its cache file with libcachekit's
-- uri2d, lets nginx serve a file that is there (HIT) and fetches a missing one
-- through fetchwrap first (MISS); answers checkdisk's notification request and
-- runs the disk guard. Loaded by the nginx configuration rendered from
-- nginx.conf.in; every setting comes from there through init().

local ffi = require "ffi"
local lrucache = require "resty.lrucache"
local child = require "cachenode.child"
local names = require "cachenode.names"

local C = ffi.C
local ffi_new = ffi.new
local ffi_string = ffi.string
local ffi_errno = ffi.errno
local ngx = ngx
local ngx_var = ngx.var
local ngx_log = ngx.log
local ngx_now = ngx.now
local ngx_exit = ngx.exit
local get_method = ngx.req.get_method
local ERR = ngx.ERR
local WARN = ngx.WARN
local INFO = ngx.INFO
local NOTICE = ngx.NOTICE
local find = string.find
local sub = string.sub
local floor = math.floor
local tonumber = tonumber
local tostring = tostring
local error = error
local pcall = pcall
local ipairs = ipairs
local os_remove = os.remove
local spawn = child.spawn
local reap = child.reap
local strerror = child.strerror


local _M = { _VERSION = "1.0" }


-- The library's six exports, as include/cachekit.h declares them (a test holds
-- the two texts against each other), and mkdir for a file's parents.
ffi.cdef[[
int fileExist(const char *path);
void md5data(char *out, const char *data, int len);
void md5file(char *out, const char *path);
void uri2d(char *out, const char *url, const char *dirs);
void checkdisk(const char *path, const char *minFreeGB, const char *maxFiles);
void getmsgip(char *out, const char *host);

int mkdir(const char *path, unsigned int mode);
]]

local EEXIST = 17

-- A finished fetch leaves its status this long for the requests that waited
-- on it.
local OUTCOME_SECONDS = 10

local conf          -- the settings given to init()
local lib           -- libcachekit, loaded by ffi.load
local dirs          -- the cache directories in list order
local memo          -- per-worker url -> cache file, or nil
local fetching      -- the shared dictionary of fetches in progress
local path_buf = ffi_new("char[?]", names.PATH_MAX_BYTES)
local guard_running = false


-- A knob that must be a whole number from min to max (default 2^31 - 1).
local function number(opts, key, min, max)
    local value = tonumber(opts[key])
    max = max or 2 ^ 31 - 1
    if not value or value < min or value > max or value ~= floor(value) then
        error("cachenode: " .. key .. " must be a whole number from " .. min .. " to " .. max
              .. ", not \"" .. tostring(opts[key]) .. "\"", 2)
    end
    return value
end

-- The most the guard's cachekit checkdisk takes for a threshold or a count.
local GUARD_MAX = 1000000000


-- Called once from init_by_lua with the knobs of nginx.conf.in. Errors stop
-- nginx from starting, with the reason.
function _M.init(opts)
    local text = opts.cache_dirs or ""
    if #text >= names.DIRS_TEXT_MAX then
        error("cachenode: cache_dirs is " .. #text .. " bytes, the library takes fewer than "
              .. names.DIRS_TEXT_MAX)
    end
    dirs = names.split_dirs(text)
    if #dirs == 0 then
        error("cachenode: cache_dirs names no directory")
    end
    for _, name in ipairs(dirs) do
        local why = names.check_dir(name)
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
        guard_min_free_gb = tostring(number(opts, "guard_min_free_gb", 1, GUARD_MAX)),
        guard_max_files = tostring(number(opts, "guard_max_files", 1, GUARD_MAX)),
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


-- The cache file of a URL text (host and request target, without
-- "http://"): the path and the length of its cache directory, or nil and the
-- reason the request is refused.
local function cache_file(text, host)
    local why = names.refuse_target(text, host)
    if why then
        return nil, why
    end
    lib.uri2d(path_buf, text, conf.cache_dirs)
    local file = ffi_string(path_buf)
    if file == "" then
        return nil, "outside the limits of uri2d"
    end
    local dir_len = names.dir_of(file, text, host, dirs)
    if not dir_len then
        return nil, "uri2d gave \"" .. file .. "\", not a piece of the URL below a cache directory"
    end
    return file, dir_len
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
            child.kill_session(pid)
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
    local limit = conf.fetch_timeout + child.KILL_REAP_SECONDS + 1
    local ok, err = fetching:safe_add(busy, 1, limit)
    if ok then
        -- Another worker's fetch may have ended between the caller's look and
        -- this add: its file must not be fetched (and so removed) again.
        if lib.fileExist(file) == 0 then
            fetching:delete(busy)
            return 200
        end
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
    local delay = child.POLL_FIRST
    while fetching:get(busy) do
        if ngx_now() >= deadline then
            return 504
        end
        delay = child.backoff(delay)
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


-- init_worker_by_lua: the worker reaps its own children; worker 0 runs the
-- disk guard.
function _M.init_worker()
    child.reap_own_children()
    if conf.guard_interval > 0 and ngx.worker.id() == 0 then
        local ok, err = ngx.timer.every(conf.guard_interval, guard)
        if not ok then
            ngx_log(ERR, "cachenode: ngx.timer.every(", conf.guard_interval, ") failed: ", err)
        end
    end
end


return _M
