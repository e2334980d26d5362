-- cachenode front end: the handlers that nginx calls. map() gives every
-- request its cache file (libcachekit's uri2d) and nginx serves a file that
-- is there (HIT) itself; a miss comes to miss(), which answers from the
-- node's download of the file as it arrives (cachenode.fetch, .stream).
-- ondelete() answers checkdisk's notification, and worker 0 runs the disk
-- guard. Loaded by the nginx configuration rendered from nginx.conf.in; every
-- setting comes from there through init().

local ffi = require "ffi"
local lrucache = require "resty.lrucache"
local fetch = require "cachenode.fetch"
local guard = require "cachenode.guard"
local health = require "cachenode.health"
local metrics = require "cachenode.metrics"
local names = require "cachenode.names"
local stream = require "cachenode.stream"
local sys = require "cachenode.sys"

local ffi_new = ffi.new
local ffi_string = ffi.string
local ngx = ngx
local ngx_var = ngx.var
local ngx_log = ngx.log
local ngx_exit = ngx.exit
local get_method = ngx.req.get_method
local ERR = ngx.ERR
local INFO = ngx.INFO
local NOTICE = ngx.NOTICE
local WARN = ngx.WARN
local find = string.find
local sub = string.sub
local lower = string.lower
local floor = math.floor
local tonumber = tonumber
local tostring = tostring
local error = error
local pcall = pcall
local ipairs = ipairs


local _M = { _VERSION = "2.0" }


-- The library's six exports, as include/cachekit.h declares them (a test holds
-- the two texts against each other).
ffi.cdef[[
int fileExist(const char *path);
void md5data(char *out, const char *data, int len);
void md5file(char *out, const char *path);
void uri2d(char *out, const char *url, const char *dirs);
void checkdisk(const char *path, const char *minFreeGB, const char *maxFiles);
void getmsgip(char *out, const char *host);
]]

local conf          -- the settings given to init()
local lib           -- libcachekit, loaded by ffi.load
local dirs          -- the cache directories in list order
local sites         -- the hosts knob, as names.parse_hosts() gives it
local purgers       -- networks that may purge, as names.parse_addresses() gives them
local scrapers      -- networks that may read the metrics
local memo          -- per-worker URL text -> cache file, or nil
local path_buf = ffi_new("char[?]", names.PATH_MAX_BYTES)


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
    local why
    sites, why = names.parse_hosts(opts.hosts)
    if not sites then
        error("cachenode: hosts " .. why)
    end
    purgers, why = names.parse_addresses(opts.purge_allow)
    if not purgers then
        error("cachenode: purge_allow " .. why)
    end
    scrapers, why = names.parse_addresses(opts.metrics_allow)
    if not scrapers then
        error("cachenode: metrics_allow " .. why)
    end
    why = names.check_dir(opts.spool_dir or "")
    if why or sys.stat(opts.spool_dir) ~= "dir" then
        error("cachenode: spool_dir \"" .. tostring(opts.spool_dir) .. "\" "
              .. (why or "is not a directory"))
    end

    conf = {
        cache_dirs = text,
        spool_dir = opts.spool_dir,
        fetchwrap = opts.fetchwrap,
        cachekit_cli = opts.cachekit_cli,
        cachekit_lib = opts.cachekit_lib,
        fetch_max = number(opts, "fetch_max", 1, 100000),
        fetch_timeout = number(opts, "fetch_timeout", 0),
        fetch_idle_timeout = number(opts, "fetch_idle_timeout", 0),
        fetch_queue_timeout = number(opts, "fetch_queue_timeout", 0),
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

    if not ngx.shared.cachenode_fetch then
        error("cachenode: lua_shared_dict cachenode_fetch is not configured")
    end
    ok, why = metrics.init(conf, dirs)
    if not ok then
        error("cachenode: " .. why)
    end
    conf.on_end = metrics.download
    fetch.init(conf)
    ok, why = health.init({ drain = opts.drain, spool_dir = conf.spool_dir }, dirs, lib)
    if not ok then
        error("cachenode: " .. why)
    end
end


-- The URL text of the request: its host and its path as the request line
-- holds them, without "http://" and without the query.
local function url_text()
    local target = ngx_var.request_uri
    local query = find(target, "?", 1, true)
    return ngx_var.host .. (query and sub(target, 1, query - 1) or target)
end


-- The cache file of the URL text of a request for host: the path, or "" and
-- the status the request gets ("spool" when the cache cannot hold the URL
-- whole), and the reason.
local function cache_file(text, host)
    if #text >= names.URL_TEXT_MAX then
        return "", "400", "the URL is " .. #text .. " bytes, the library takes fewer than "
               .. names.URL_TEXT_MAX
    end
    if host == "" then
        return "", "400", "no Host"
    end
    if not names.host_allowed(sites, host) then
        return "", "421", "not one of the hosts"
    end
    local why = names.refuse_target(text, host)
    if why then
        return "", "400", why
    end
    lib.uri2d(path_buf, text, conf.cache_dirs)
    local file = ffi_string(path_buf)
    local dir_len, whole = names.dir_of(file, text, host, dirs)
    if not dir_len then
        return "", "400", "uri2d gave \"" .. file .. "\", not a piece of the URL below a cache directory"
    end
    if not whole then
        return "", "spool", "uri2d keeps it as \"" .. file .. "\""
    end
    return file
end


-- set_by_lua of the server: $cachenode_file, the cache file that nginx tries
-- (try_files), or "" with $cachenode_why set for the miss location. No
-- coroutine and, with the memo, no uri2d on a HIT.
function _M.map()
    local method = get_method()
    if method ~= "GET" and method ~= "HEAD" then
        ngx_var.cachenode_why = method == "PURGE" and "purge" or "405"
        return ""
    end
    local text = url_text()
    local file = memo and memo:get(text)
    if file then
        return file
    end
    local status, why
    file, status, why = cache_file(text, ngx_var.host)
    if status then
        ngx_var.cachenode_why = status
        if status ~= "spool" then
            ngx_log(INFO, "cachenode: refused \"", text, "\": ", why)
        end
    elseif memo then
        memo:set(text, file)
    end
    return file
end


-- The named location that serves a finished file for the request: nginx's
-- mp4 and flv modules answer ?start= and ?end= on theirs.
local function cached_location()
    local ext = lower(sub(ngx_var.uri, -4))
    if ext == ".mp4" then
        return "@cached_mp4"
    elseif ext == ".flv" then
        return "@cached_flv"
    end
    return "@cached"
end


-- PURGE /PATH: removes the URL's cache file and stops a download of it.
local function purge()
    if not names.address_allowed(purgers, ngx_var.remote_addr) then
        return ngx_exit(405)
    end
    local text = url_text()
    local file, status, why = cache_file(text, ngx_var.host)
    if status and status ~= "spool" then
        ngx_log(INFO, "cachenode: purge of \"", text, "\" refused: ", why)
        return ngx_exit(tonumber(status))
    end
    local cancelled = file ~= "" and fetch.cancel(file)
    local removed = file ~= "" and sys.stat(file) == "file" and sys.unlink(file)
    if not (removed or cancelled) then
        return ngx_exit(404)
    end
    ngx_log(NOTICE, "cachenode: purged \"", text, "\" (", file, removed and "" or ", download stopped",
            ") for ", ngx_var.remote_addr)
    metrics.purged()
    ngx.say("purged")
end


-- content_by_lua of the miss location: every request that try_files did not
-- answer from a cache file.
function _M.miss()
    -- The static module's answer to a directory (301) came with a Location.
    ngx.header["Location"] = nil
    local why = ngx_var.cachenode_why
    if why == "purge" then
        return purge()
    end
    if why ~= "" and why ~= "spool" then
        return ngx_exit(tonumber(why))
    end
    -- A finished file that went (the guard, a purge) before nginx served it
    -- comes back here once; twice is too many.
    local again = ngx_var.cachenode_again
    if #again >= 2 then
        ngx.header["Retry-After"] = 1
        return ngx_exit(503)
    end
    local text = url_text()
    local file = ngx_var.cachenode_file
    local req = { url = "http://" .. text, method = get_method(), uri = ngx_var.uri }
    -- A directory where the file belongs (a longer URL made it) neither
    -- serves nor blocks the file: it is sent uncached.
    if why == "spool" or sys.stat(file) == "dir" then
        req.key, req.spool = fetch.spool_name(conf.spool_dir), true
    else
        req.key, req.file, req.dir_len = file, file, names.dir_len(file, dirs)
    end

    local action, status, r = stream.serve(req)
    if req.spool and action ~= "exec" then
        -- The download may end at this moment, and then keeps the file.
        fetch.cancel(req.key)
        sys.unlink(req.key)
    end
    if action == "exec" then
        ngx_var.cachenode_serve = req.key
        if req.spool then
            ngx_var.cachenode_spool = req.key
        end
        ngx_var.cachenode_again = again .. "x"
        return ngx.exec(cached_location())
    elseif action == "cut" then
        ngx_log(NOTICE, "cachenode: answer for \"", req.url, "\" cut after ", r.offset, " bytes: ",
                "the download failed")
        ngx.ctx.cachenode_result = "failed"
        return ngx_exit(ngx.ERROR)
    elseif action == "status" then
        if status == 503 then
            ngx.header["Retry-After"] = conf.fetch_queue_timeout > 0 and conf.fetch_queue_timeout or 1
        end
        return ngx_exit(status)
    end
end


-- log_by_lua of the locations that serve a finished file after a miss: an
-- uncached download's spool file goes once it has been sent.
function _M.served()
    local spool = ngx_var.cachenode_spool
    if spool ~= "" then
        sys.unlink(spool)
    end
    metrics.request("miss")
end


-- content_by_lua of /cachenode/metrics: the exposition, to 127.0.0.0/8 and
-- metrics_allow.
function _M.metrics()
    if not names.address_allowed(scrapers, ngx_var.remote_addr) then
        return ngx_exit(403)
    end
    ngx.header["Content-Type"] = "text/plain; version=0.0.4"
    ngx.print(metrics.render())
end


-- content_by_lua of /cachenode/health, a balancer's check: 200 while the
-- node takes new viewers, else 503; the body says why. To 127.0.0.0/8 and
-- metrics_allow.
function _M.health()
    if not names.address_allowed(scrapers, ngx_var.remote_addr) then
        return ngx_exit(403)
    end
    local ok, text, changed = health.check()
    if changed then
        ngx_log(ok and NOTICE or WARN, "cachenode: health: ", text)
    end
    ngx.status = ok and 200 or 503
    ngx.header["Content-Type"] = "text/plain"
    ngx.header["Cache-Control"] = "no-store"
    ngx.say(text)
end


-- content_by_lua handler of checkdisk's notification, a HEAD request for the
-- configured URL with "&vid=<path>" appended as it stands: "200 OK" lets the
-- file go, 409 keeps the temporary file of a running download.
function _M.ondelete()
    local target = ngx_var.request_uri
    local _, vid_at = find(target, "&vid=", 1, true)
    if not vid_at then
        ngx.status = 400
        ngx.say("no &vid=")
        return
    end
    local path = sub(target, vid_at + 1)
    local claim = fetch.current(names.temp_file(path) or path)
    if claim and (claim.temp == path or path == names.temp_file(claim.temp))
       and not fetch.orphaned(claim) then
        ngx_log(NOTICE, "cachenode: eviction of \"", path, "\" refused, download running")
        ngx.status = 409
        ngx.say("fetching")
        return
    end
    ngx.status = 200
    ngx.say("OK")
end


-- Every second in worker 0: downloads of dead workers are stopped and their
-- temporary files removed, and so are spool files of dead workers (a live
-- worker removes its own when their answer ends).
local function sweep(premature)
    if premature then
        return
    end
    fetch.sweep()
    local ok, err = sys.each_entry(conf.spool_dir, function(name)
        local owner = names.spool_owner(name)
        if owner and not sys.alive(owner) then
            sys.unlink(conf.spool_dir .. "/" .. name)
        end
    end)
    if not ok then
        ngx_log(ERR, "cachenode: opendir() \"", conf.spool_dir, "\" failed: ", err)
    end
end


-- init_worker_by_lua: the worker reaps its own children; worker 0 sweeps what
-- dead workers left and runs the disk guard.
function _M.init_worker()
    require("cachenode.child").reap_own_children()
    fetch.init_worker()
    local ok, err = metrics.init_worker()
    if not ok then
        ngx_log(ERR, "cachenode: ", err)
    end
    if ngx.worker.id() ~= 0 then
        return
    end
    ok, err = ngx.timer.every(1, sweep)
    if not ok then
        ngx_log(ERR, "cachenode: ngx.timer.every(1) failed: ", err)
    end
    if conf.guard_interval > 0 then
        ok, err = guard.start(conf, dirs, conf.guard_interval)
        if not ok then
            ngx_log(ERR, "cachenode: ", err)
        end
    end
end


return _M
