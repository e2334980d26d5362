-- cachenode front end: the handlers that nginx calls. map() gives every
-- request its cache file (libcachekit's uri2d) and nginx serves a file that
-- is there (HIT) itself; a miss comes to miss(), which answers from the
-- node's download of the file as it arrives (cachenode.fetch, .stream).
-- ondelete() answers checkdisk's notification, and worker 0 runs the disk
-- guard. Loaded by the nginx configuration rendered from nginx.conf.in; every
-- setting comes from there through init().

local ffi = require "ffi"
local clients = require "cachenode.clients"
local config = require "cachenode.config"
local disks = require "cachenode.disks"
local fetch = require "cachenode.fetch"
local guard = require "cachenode.guard"
local health = require "cachenode.health"
local mapping = require "cachenode.mapping"
local metrics = require "cachenode.metrics"
local names = require "cachenode.names"
local nets = require "cachenode.nets"
local request = require "cachenode.request"
local signing = require "cachenode.signing"
local spool = require "cachenode.spool"
local stream = require "cachenode.stream"
local sys = require "cachenode.sys"

local ngx = ngx
local ngx_var = ngx.var
local ngx_log = ngx.log
local ngx_exit = ngx.exit
local get_method = ngx.req.get_method
local set_uri = ngx.req.set_uri
local ERR = ngx.ERR
local INFO = ngx.INFO
local NOTICE = ngx.NOTICE
local WARN = ngx.WARN
local find = string.find
local sub = string.sub
local byte = string.byte
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
local purgers       -- networks that may purge, as nets.parse() gives them
local scrapers      -- networks that may read the metrics
local entry_of = mapping.entry_of
local file_of = mapping.file_of
local signed        -- whether some site's requests need a token (uri_signing)
-- A cache file that is never there: map() gives it to a request that has
-- none, and nginx hands the request to the miss location (no `if` in the
-- HIT locations). The spool directory is the front end's, and no spool
-- file is named so.
local NO_FILE


-- Called once from init_by_lua with the knobs of nginx.conf.in. Errors stop
-- nginx from starting, with the reason.
function _M.init(opts)
    local why
    conf, why = config.load(opts)
    if not conf then
        error("cachenode: " .. why)
    end
    dirs, purgers, scrapers = conf.dirs, conf.purgers, conf.scrapers

    local ok, loaded = pcall(ffi.load, conf.cachekit_lib)
    if not ok then
        error("cachenode: ffi.load(\"" .. tostring(conf.cachekit_lib) .. "\") failed: "
              .. tostring(loaded))
    end
    lib = loaded
    ok, why = mapping.init(conf, lib)
    if not ok then
        error("cachenode: " .. why)
    end
    ok, why = disks.init(conf)
    if not ok then
        error("cachenode: " .. why)
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
    clients.init(conf.client_misses)
    spool.init(conf.spool_dir)
    NO_FILE = conf.spool_dir .. "/.none"
    health.init(conf, lib)
    signed = conf.signing ~= nil
    if signed then
        ok, why = signing.init(conf.signing, metrics.token_refused)
        if not ok then
            error("cachenode: " .. why)
        end
    end
end


local url_text = request.url


-- set_by_lua of the server: $cachenode_file, the file that a HIT location
-- serves, or NO_FILE. No coroutine, no nginx variable written (but for a
-- signed site's token: its refusal or renewal, and the query without it),
-- and with the memo no uri2d: a HIT is counted here, and un-counted by the
-- miss location when the file was not there. A file the thread pool reads
-- (an entry of "/" and the file) becomes the URI, which its location reads
-- instead of $cachenode_file: that keeps the entry as it stands.
function _M.map()
    local method = get_method()
    if method ~= "GET" and method ~= "HEAD" then
        return NO_FILE
    end
    local raw = url_text()
    if signed and not signing.admit(raw) then
        return NO_FILE
    end
    local found = entry_of(raw)
    if not found then
        return NO_FILE
    end
    metrics.hit()
    if byte(found, 2) == 47 then
        set_uri(found)
    end
    return found
end


-- PURGE /PATH: removes the URL's cache file and stops a download of it.
local function purge()
    if not nets.allowed(purgers, ngx_var.binary_remote_addr) then
        return ngx_exit(405)
    end
    local raw = url_text()
    local text = names.normalize(raw)
    local file, status, why = file_of(raw, text)
    if not file and status ~= "spool" then
        ngx_log(INFO, "cachenode: purge of \"", text, "\" refused: ", why)
        return ngx_exit(status)
    end
    -- The download ends before the answer: a request after it starts anew.
    local cancelled = file and fetch.cancel(file, true)
    -- Its file on each directory: the one it maps to now, its own on a
    -- directory out (a HIT again once that comes back, if its disk still
    -- answers) and a copy made while another was out (a HIT again when that
    -- goes out again).
    local removed = false
    for _, place in ipairs(mapping.places_of(text)) do
        if sys.is_file(place) and sys.unlink(place) then
            removed = true
        end
    end
    local forgotten = fetch.forget("http://" .. text)
    if not (removed or cancelled or forgotten) then
        return ngx_exit(404)
    end
    ngx_log(NOTICE, "cachenode: purged \"", text, "\" (", file or "uncached",
            removed and "" or cancelled and ", download stopped" or ", failure forgotten",
            ") for ", ngx_var.remote_addr)
    metrics.purged()
    ngx.say("purged")
end


-- content_by_lua of the miss location: every request that the HIT locations
-- did not answer from a cache file. $cachenode_pass holds one "x" per entry
-- (the miss location's own set): a finished file that went (the guard, a
-- purge) before nginx served it comes back here once; twice is too many.
function _M.miss()
    local pass = ngx_var.cachenode_pass
    -- On the first pass, map()'s file: the HIT it counted did not happen.
    local mapped = pass == "x" and ngx_var.cachenode_file
    if mapped == NO_FILE then
        mapped = nil
    elseif mapped then
        metrics.unhit()
        mapped = mapping.file(mapped)
    end
    -- The static module's answer to a directory (301) came with a Location.
    ngx.header["Location"] = nil
    local method = get_method()
    if method == "PURGE" then
        return purge()
    end
    if method ~= "GET" and method ~= "HEAD" then
        return ngx_exit(405)
    end
    -- map() checked the token: a refusal never reaches a download.
    if signed then
        if ngx_var.cachenode_refusal ~= "" then
            return ngx_exit(403)
        end
        local renew = ngx_var.cachenode_renew
        if renew ~= "" then
            ngx.header["Set-Cookie"] = renew
        end
    end
    if #pass > 2 then
        ngx.header["Retry-After"] = 1
        return ngx_exit(503)
    end
    local raw = url_text()
    local text = names.normalize(raw)
    -- A directory out since the file was mapped (it may be why the file was
    -- not there, or did not open), or out from now on (its disk fails, or a
    -- mount went), maps the URL anew: over the others, or not at all.
    disks.refresh()
    local file, status, why = mapped
    local dir
    for _ = 1, #dirs do
        if not file then
            file, status, why = file_of(raw, text)
        end
        dir = file and disks.dir_of(file)
        if not file or disks.usable(dir, file) then
            break
        end
        file = nil
    end
    if status and status ~= "spool" then
        ngx_log(INFO, "cachenode: refused \"", text, "\": ", why)
        return ngx_exit(status)
    end
    local req = { url = "http://" .. text, method = method, uri = ngx_var.uri,
                  client = ngx_var.cachenode_client }
    -- A viewer who goes ends its request at once (lua_check_client_abort),
    -- so that a download nobody watches can yield its slot.
    local ok, err = ngx.on_abort(function()
        req.aborted = true
        fetch.wake(req.key)
    end)
    if not ok then
        ngx_log(ERR, "cachenode: ngx.on_abort() failed: ", err)
    end
    -- A directory where the file belongs (a longer URL made it) neither
    -- serves nor blocks the file: it is sent uncached.
    if not file or sys.stat(file) == "dir" then
        req.key, req.spool = spool.new(), true
    else
        req.key, req.file, req.dir_len = file, file, #dir
    end

    local action, code, r = stream.serve(req)
    if r.read_error then
        ngx_log(ERR, "cachenode: pread() \"", r.read_path, "\" for \"", req.url, "\" failed: ", r.read_error)
        if req.file then
            disks.failed(dir, r.read_errno, "pread() \"" .. r.read_path .. "\" failed: " .. r.read_error)
        end
    end
    if req.spool and action ~= "exec" then
        -- The download may end at this moment, and then keeps the file.
        fetch.cancel(req.key, false)
        spool.done(req.key)
    end
    if action == "exec" then
        ngx_var.cachenode_file = req.key
        return ngx.exec(names.cached_location(req.uri))
    elseif action == "cut" then
        ngx_log(NOTICE, "cachenode: answer for \"", req.url, "\" cut after ", r.offset, " bytes: ",
                r.read_error and "its file could not be read" or "the download failed")
        ngx_var.cachenode_cut = "cut"
        return ngx_exit(ngx.ERROR)
    elseif action == "status" then
        if code == 503 then
            ngx.header["Retry-After"] = conf.fetch_queue_timeout > 0 and conf.fetch_queue_timeout or 1
        elseif code == 429 then
            ngx.header["Retry-After"] = 1
        end
        return ngx_exit(code)
    end
end


-- log_by_lua of the locations that serve a finished file after a miss: an
-- uncached download's spool file goes once it has been sent.
function _M.served()
    local file = ngx_var.cachenode_file
    if spool.holds(file) then
        spool.done(file)
    end
    -- The finished file may fail there too (a seek in a broken MP4).
    metrics.request(ngx.status < 400 and "miss" or nil)
end


-- content_by_lua of /cachenode/metrics: the exposition, to 127.0.0.0/8, ::1
-- and metrics_allow.
function _M.metrics()
    if not nets.allowed(scrapers, ngx_var.binary_remote_addr) then
        return ngx_exit(403)
    end
    ngx.header["Content-Type"] = "text/plain; version=0.0.4"
    ngx.print(metrics.render())
end


-- content_by_lua of /cachenode/health, a balancer's check: 200 while the
-- node takes new viewers, else 503; the body says why. To 127.0.0.0/8, ::1
-- and metrics_allow.
function _M.health()
    if not nets.allowed(scrapers, ngx_var.binary_remote_addr) then
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
    if fetch.holds(path) then
        ngx_log(NOTICE, "cachenode: eviction of \"", path, "\" refused, download running")
        ngx.status = 409
        ngx.say("fetching")
        return
    end
    ngx.status = 200
    ngx.say("OK")
end


-- Every second in worker 0: what dead workers left goes (a live worker
-- removes its own): their downloads are stopped, their temporary and spool
-- files removed.
local function sweep(premature)
    if premature then
        return
    end
    fetch.sweep()
    spool.sweep()
end


-- init_worker_by_lua: the worker reaps its own children; worker 0 sweeps what
-- dead workers left and runs the disk guard.
function _M.init_worker()
    require("cachenode.child").reap_own_children()
    fetch.init_worker()
    spool.init_worker()
    local ok, err = metrics.init_worker()
    if not ok then
        ngx_log(ERR, "cachenode: ", err)
    end
    ok, err = disks.init_worker(mapping.set_live)
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
