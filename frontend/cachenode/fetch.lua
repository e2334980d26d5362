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
local clients = require "cachenode.clients"
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
local ipairs = ipairs
local min = math.min


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
local function finish(job, status, what, size, no_file)
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
    if no_file then
        claims.remember_failure(job.url, status)
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

    -- Viewers get the written prefix (a client may preallocate its file or
    -- write it out of order); any change of it, the size or the allocated
    -- blocks shows the client at work.
    local prefix, size, blocks, grown = 0, 0, 0, ngx_now()
    while true do
        local code
        code, err = child.exited(pid)
        if not job.fd then
            job.fd = sys.open_read(job.temp)
        end
        if job.fd then
            local now_size, now_blocks = sys.size(job.fd)
            local now_prefix = sys.written(job.fd) or prefix
            if now_prefix ~= prefix or now_size ~= size or now_blocks ~= blocks then
                grown = ngx_now()
            end
            size, blocks = now_size or size, now_blocks or blocks
            if now_prefix > prefix then
                prefix = now_prefix
                claims.grew(job.temp, prefix)
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
            -- fetchwrap answers 1 for a URL it cannot take, 255 when no file
            -- arrived: both are remembered for negative_ttl.
            return finish(job, code == 1 and 400 or 502, "failed", size, code == 1 or code == 255)
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
        local why = claims.cancelled(job.temp)
        if why == "yield" then
            return stop(job, 503, "yielded", size, "had no viewer while misses waited")
        elseif why then
            return stop(job, 503, "cancelled", size, "was purged")
        end
        ngx_sleep(waits.progress(now - job.started))
    end
end

-- Called while a miss is first in line and no slot is free: the oldest
-- download that nobody watches is stopped (cut, nothing kept), one at a
-- time, so that the slots go to misses that viewers wait for.
local function make_room()
    local oldest
    for _, text in ipairs(cap:records()) do
        local r = record.parse(text)
        if r and r.child > 0 and claims.viewers(r.temp) <= 0 and not claims.cancelled(r.temp)
           and (not oldest or r.started < oldest.started) then
            oldest = r
        end
    end
    if oldest and claims.yield_turn() then
        claims.cancel(oldest.temp, "yield")
    end
end

local function download(job)
    -- A download in line whose viewers all left gives up its place.
    local slot, why = cap:acquire(wpid, record.build(job),
                                  job.started + conf.fetch_queue_timeout, function()
        if claims.cancelled(job.temp) then
            return "cancelled"
        end
        return claims.viewers(job.temp) <= 0 and "yielded"
    end, make_room)
    if not slot then
        if why ~= "busy" and why ~= "cancelled" and why ~= "yielded" then
            ngx_log(ERR, "cachenode: download of \"", job.url, "\" not in line: ", why)
            why = "busy"
        end
        return finish(job, 503, why)
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
    claims.init(dict, conf.fetch_queue_timeout, conf.negative_ttl)
    clients.init_worker(dict)
    cap = line.new(dict, conf.fetch_max, sys.alive)
    wake.init(function(key)
        local r, seen = claims.current(key)
        return seen, r and ngx_now() - r.started
    end)
end


-- Where the download that request req (key, url; file and dir_len, or
-- spool; client, its address) stands. temp is the temporary file the
-- request has followed so far (nil at first); may_serve, whether a whole
-- file at req.file will do. Returns one of
--   "running", temp, seen   a download into temp runs; seen is for wait()
--   "ended", status, bytes  the download into the given temp has ended, or
--                           the URL's last one found no file (negative_ttl)
--   "cached"                none runs and the file is whole (may_serve only)
--   nil, "client"           the client has client_misses downloads going
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
        local failed = claims.failed(req.url)
        if failed then
            return "ended", failed, 0
        end
        if not req.counted then
            if not clients.enter(req.client) then
                return nil, "client"
            end
            req.counted = true
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

-- Wakes this worker's requests that wait on key (one of them has gone).
_M.wake = wake.kick

-- Whether path is the temporary file of a running download, or the cache
-- file one is making.
_M.holds = claims.holds

-- A request starts (1) or stops (-1) following the download into temp.
_M.watch = claims.watch

-- The request req (as join() took it) has ended.
function _M.leave(req)
    if req.counted then
        clients.leave(req.client)
    end
end

-- Stops the download of key, if one runs (a purge): its requests are cut
-- and nothing is kept. With wait, returns once it has ended (or after
-- waits.purge), so that no request that comes after joins it. Returns
-- whether one ran.
function _M.cancel(key, wait)
    local r, seen = claims.current(key)
    if not r then
        return false
    end
    claims.cancel(r.temp, "purge")
    local deadline = ngx_now() + waits.purge
    while wait and ngx_now() < deadline do
        local now
        now, seen = claims.current(key)
        if not now or now.temp ~= r.temp then
            break
        end
        wake.wait(key, seen, min(waits.follow, deadline - ngx_now()))
    end
    return true
end

-- Forgets url's failed download (a purge). Returns whether one was remembered.
_M.forget = claims.forget


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
