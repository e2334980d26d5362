-- cachenode.fetch: the node's downloads. A download belongs to the node, not
-- to a request: the worker that claims it runs it in a timer (fetchwrap into
-- a temporary file, renamed to its cache path once whole) and leaves its
-- outcome for the requests that follow it. A request joins a download
-- (join), waits for it to move on (wait) and learns its outcome from join;
-- the guard's notification asks whether a path is a running download's
-- (holds); a purge stops one (cancel). At most fetch_max run at once, the
-- others wait in line (cachenode.line). The records live in the shared
-- dictionary through cachenode.claims; no other module reads them.

local child = require "cachenode.child"
local claims = require "cachenode.claims"
local files = require "cachenode.files"
local line = require "cachenode.line"
local names = require "cachenode.names"
local record = require "cachenode.record"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"
local wake = require "cachenode.wake"

local ngx = ngx
local ngx_now = ngx.now
local ngx_sleep = ngx.sleep
local ngx_log = ngx.log
local ERR = ngx.ERR
local WARN = ngx.WARN
local INFO = ngx.INFO
local timer_at = ngx.timer.at
local pcall = pcall


local _M = { _VERSION = "2.0" }

-- Runs of fetchwrap for a download whose directory another one removed.
local DIR_TRIES = 3

local conf          -- fetchwrap, fetch_max, the three time-outs, on_end
local cap           -- the line (cachenode.line)
local wpid          -- this worker's pid
local seq = 0       -- this worker's downloads so far, for temporary names


-- ------------------------------------------------------------ the timer
-- Ends a download: the temporary file renamed or removed, the outcome left,
-- the claim and the slot given back, the followers woken.
local function finish(job, status, what, size)
    if job.fd then
        sys.close(job.fd)
    end
    if status == 200 and job.file then
        local ok, err = sys.rename(job.temp, job.file)
        if not ok then
            ngx_log(ERR, "cachenode: rename() \"", job.temp, "\" to \"", job.file, "\" failed: ", err)
            status, what = 502, "failed"
        end
    end
    if status ~= 200 then
        sys.unlink(job.temp)
        if job.file then
            files.remove_parents(job.file, job.dir_len)
        end
    end
    claims.ended(job, status, what, size or 0)
    if job.slot > 0 then
        cap:release(job.slot)
    end
    wake.kick(job.key)
    conf.on_end(what, ngx_now() - job.started, size or 0)
end

-- Kills the download's session and ends it with status.
local function stop(job, status, what, size, why)
    ngx_log(WARN, "cachenode: download of \"", job.url, "\" ", why, ", killed")
    local ok, err = child.kill_session(job.child, true)
    if not ok then
        ngx_log(ERR, "cachenode: waitpid() for killed fetchwrap ", job.child, ": ", err)
    end
    finish(job, status, what, size)
end

-- The download's record changed (a slot, a fetchwrap): claim and slot say so.
local function publish(job)
    claims.update(job)
    cap:set(job.slot, record.build(job))
end

-- One run of fetchwrap for the download: "again" when its directory went
-- under it and this is not the last try, else what finish returns.
local function attempt(job, last)
    if job.file then
        local ok, err, errno = files.make_parents(job.file, job.dir_len)
        if not ok then
            if errno == sys.ENOENT and not last then
                return "again"
            end
            ngx_log(ERR, "cachenode: ", err)
            return finish(job, 500, "failed")
        end
        files.remove_stale(job.file)
    end
    local ok, err = sys.probe_create(job.temp)
    if not ok then
        if not last and job.file and files.dir_gone(job.temp) then
            return "again"
        end
        ngx_log(ERR, "cachenode: cannot create \"", job.temp, "\": ", err)
        return finish(job, 502, "failed")
    end
    local pid
    pid, err = child.spawn({ conf.fetchwrap, job.temp, job.url })
    if not pid then
        ngx_log(ERR, "cachenode: posix_spawn() \"", conf.fetchwrap, "\" failed: ", err)
        return finish(job, 500, "failed")
    end
    job.child = pid
    publish(job)

    local size, grown = 0, ngx_now()
    while true do
        local code
        code, err = child.exited(pid)
        if not job.fd then
            job.fd = sys.open_read(job.temp)
        end
        if job.fd then
            local now_size = sys.size(job.fd) or size
            if now_size > size then
                size, grown = now_size, ngx_now()
                claims.grew(job.temp, size)
                wake.kick(job.key)
            end
        end
        if code == 0 then
            return finish(job, 200, "ok", size)
        elseif code == 255 and size == 0 and not last and job.file and files.dir_gone(job.temp) then
            ngx_log(INFO, "cachenode: the directory of \"", job.temp, "\" went, fetched again")
            if job.fd then
                sys.close(job.fd)
                job.fd = nil
            end
            return "again"
        elseif code then
            ngx_log(WARN, "cachenode: fetchwrap \"", job.temp, "\" \"", job.url, "\" exited with ", code)
            -- fetchwrap answers 1 for a URL it cannot take, 255 when no file arrived.
            return finish(job, code == 1 and 400 or 502, "failed", size)
        elseif code == nil then
            ngx_log(ERR, "cachenode: fetchwrap for \"", job.temp, "\": ", err)
            return stop(job, 502, "failed", size, "lost")
        end
        local now = ngx_now()
        if conf.fetch_idle_timeout > 0 and now - grown >= conf.fetch_idle_timeout then
            return stop(job, 504, "idle", size, "had no byte for " .. conf.fetch_idle_timeout .. " s")
        end
        if conf.fetch_timeout > 0 and now - job.started >= conf.fetch_timeout then
            return stop(job, 504, "timeout", size, "took over " .. conf.fetch_timeout .. " s")
        end
        if claims.cancelled(job.temp) then
            return stop(job, 503, "cancelled", size, "was cancelled")
        end
        ngx_sleep(waits.progress(now - job.started))
    end
end

local function download(job)
    local slot, why = cap:acquire(wpid, record.build(job),
                                  job.started + conf.fetch_queue_timeout, function()
        return claims.cancelled(job.temp) and "cancelled"
    end)
    if not slot then
        return finish(job, 503, why == "cancelled" and "cancelled" or "busy")
    end
    job.slot = slot
    for try = 1, DIR_TRIES do
        if attempt(job, try == DIR_TRIES) ~= "again" then
            return
        end
    end
end

local function run(premature, job)
    if premature then
        return finish(job, 503, "busy")
    end
    local ok, err = pcall(download, job)
    if not ok then
        ngx_log(ERR, "cachenode: download of \"", job.url, "\" failed: ", err)
        if job.child > 0 then
            child.kill_session(job.child, true)
        end
        finish(job, 500, "failed")
    end
end


-- Claims the download for req (key, url, and the cache file with its
-- directory's length, file and dir_len, or nothing more for an uncached
-- download) and starts it; or, when another download of key runs, finds
-- that one. Returns its record, or nil and the reason.
local function claim(req)
    seq = seq + 1
    local job = { key = req.key, url = req.url, file = req.file, dir_len = req.dir_len,
                  temp = req.file and names.temp_name(req.file, wpid, seq) or req.key,
                  owner = wpid, child = 0, started = ngx_now(), slot = 0 }
    local ok, err = claims.add(job)
    if not ok then
        local r = err == "exists" and claims.current(job.key)
        if r then
            return r
        end
        return nil, "lua_shared_dict cachenode_fetch add failed: " .. err
    end
    ok, err = timer_at(0, run, job)
    if not ok then
        claims.release(job.key, job.temp, false)
        return nil, "ngx.timer.at() failed: " .. err
    end
    return job
end


-- ------------------------------------------------------------ requests
function _M.init(opts)
    conf = opts
end

function _M.init_worker()
    local dict = ngx.shared.cachenode_fetch
    wpid = ngx.worker.pid()
    claims.init(dict, conf.fetch_queue_timeout)
    cap = line.new(dict, conf.fetch_max, sys.alive)
    wake.init(function(key)
        local r, seen = claims.current(key)
        return seen, r and ngx_now() - r.started
    end)
end


-- Where the download that request req (key, url; file and dir_len, or
-- spool) stands. temp is the temporary file the request has followed so far
-- (nil at first); may_serve, whether a whole file at req.file will do.
-- Returns one of
--   "running", temp, seen   a download into temp runs; seen is for wait()
--   "ended", status, bytes  the download into the given temp has ended
--   "cached"                none runs and the file is whole (may_serve only)
--   nil, reason             no download could be started
-- A download whose owner died is taken down and started again under a new
-- temporary name; the request goes on from the byte it has reached.
function _M.join(req, temp, may_serve)
    local r, seen = claims.current(req.key)
    if r and claims.orphaned(r) then
        claims.take_down(r)
        r, seen = claims.current(req.key)
    end
    if temp and (not r or r.temp ~= temp) then
        local status, bytes = claims.outcome(temp)
        if status then
            return "ended", status, bytes
        end
        if req.spool then
            -- Another worker's spool file went with it.
            return "ended", 502, 0
        end
    end
    if not r then
        if may_serve and req.file and sys.is_file(req.file) then
            return "cached"
        end
        local err
        r, err = claim(req)
        if not r then
            return nil, err
        end
        -- It may have ended already: then nothing was seen, and wait()
        -- returns at once.
        local now
        now, seen = claims.current(req.key)
        r, seen = now or r, now and seen
    end
    return "running", r.temp, seen
end

-- Waits until the download of key moves on from seen, or waits.follow.
function _M.wait(key, seen)
    wake.wait(key, seen, waits.follow)
end

-- Whether path is the temporary file of a running download, or the cache
-- file one is making.
_M.holds = claims.holds

-- Asks the download of key, if one runs, to stop (a purge): its requests
-- are cut and nothing is kept. Returns whether one ran.
_M.cancel = claims.cancel


-- For a timer of one worker, every second or so: downloads whose worker died
-- are stopped and removed, even when no request asks for them again; and the
-- expired entries are freed. The dictionary frees them by itself only from
-- the tail of its LRU list, and a claim without time-out there (a long
-- download) stops that: then expired outcomes and tickets fill it, and
-- safe_add, which never evicts, fails for every new download.
function _M.sweep()
    cap:sweep(function(text)
        claims.take_down(record.parse(text))
    end)
    ngx.shared.cachenode_fetch:flush_expired()
end

-- Downloads running and waiting for a slot, all workers together.
function _M.counts()
    return cap:counts()
end


return _M
