-- cachenode.fetch: the node's downloads, as requests see them. A download
-- belongs to the node, not to a request: the worker that claims it runs it
-- in a timer (cachenode.download) and leaves its outcome for the requests
-- that follow it. A request joins a download (join), waits for it to move
-- on (wait) and learns its outcome from join; the guard's notification asks
-- whether a path is a running download's (holds); a purge stops one
-- (cancel). At most fetch_max run at once, the others wait in line
-- (cachenode.line). The records live in the shared dictionary through
-- cachenode.claims; no other module reads them.

local claims = require "cachenode.claims"
local clients = require "cachenode.clients"
local download = require "cachenode.download"
local line = require "cachenode.line"
local names = require "cachenode.names"
local record = require "cachenode.record"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"
local wake = require "cachenode.wake"

local ngx = ngx
local ngx_now = ngx.now
local timer_at = ngx.timer.at
local min = math.min


local _M = { _VERSION = "2.0" }

local conf          -- fetch_max, fetch_queue_timeout, negative_ttl, and download's
local cap           -- the line (cachenode.line)
local wpid          -- this worker's pid
local seq = 0       -- this worker's downloads so far, for temporary names

-- claim() found another download's claim, which was gone when it looked at
-- it; join() then looks again, at most JOIN_LOOKS times in all.
local RACED = {}
local JOIN_LOOKS = 3


-- Claims the download for req (key, url, client, and the cache file with
-- its directory's length, file and dir_len, or nothing more for an uncached
-- download) and starts it; or, when another download of key runs, finds
-- that one. Returns join()'s "running" answer for it, or nil and the reason
-- (RACED: that one ended meanwhile). The client has entered: a download
-- started here counts against it until the download ends, whether req is
-- still there or not (a reset stream, a closed connection); one not
-- started leaves at once.
local function claim(req)
    seq = seq + 1
    local job = { key = req.key, url = req.url, file = req.file, dir_len = req.dir_len,
                  temp = req.file and names.temp_name(req.file, wpid, seq) or req.key,
                  owner = wpid, child = 0, started = ngx_now(), slot = 0, client = req.client }
    local ok, err = claims.add(job)
    if not ok then
        clients.leave(req.client)
        if err == "exists" then
            local r, seen, bytes = claims.current(job.key)
            if r then
                return "running", r.temp, seen, bytes
            end
            -- It ended between the two looks: the file may be whole now.
            return nil, RACED
        end
        return nil, "lua_shared_dict cachenode_fetch add failed: " .. err
    end
    ok, err = timer_at(0, download.run, job)
    if not ok then
        clients.leave(req.client)
        claims.release(job.key, job.temp, false)
        return nil, "ngx.timer.at() failed: " .. err
    end
    -- Gone already (another worker's entry pushed it out): nothing seen, and
    -- wait() returns at once.
    local r, seen, bytes = claims.current(job.key)
    return "running", job.temp, r and seen, bytes
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
    download.init_worker(conf, cap)
    wake.init(function(key)
        local r, seen = claims.current(key)
        return seen, r and ngx_now() - r.started
    end)
end


-- One look of join().
local function look(req, temp, may_serve)
    local r, seen, bytes = claims.current(req.key)
    if r and claims.orphaned(r) then
        claims.take_down(r)
        r, seen, bytes = claims.current(req.key)
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
        if not clients.enter(req.client) then
            return nil, "client"
        end
        return claim(req)
    end
    return "running", r.temp, seen, bytes
end

-- Where the download that request req (key, url; file and dir_len, or
-- spool; client, its address) stands. temp is the temporary file the
-- request has followed so far (nil at first); may_serve, whether a whole
-- file at req.file will do. Returns one of
--   "running", temp, seen, bytes
--                           a download into temp runs, bytes of it written
--                           (as its owner last saw); seen is for wait()
--   "ended", status, bytes  the download into the given temp has ended, or
--                           the URL's last one found no file (negative_ttl)
--   "cached"                none runs and the file is whole (may_serve only)
--   nil, "client"           the client has client_misses downloads going
--   nil, reason             no download could be started
-- A download whose owner died is taken down and started again under a new
-- temporary name; the request goes on from the byte it has reached.
-- A download that ends just as the request claims it is looked at again.
function _M.join(req, temp, may_serve)
    for _ = 1, JOIN_LOOKS do
        local state, a, b, c = look(req, temp, may_serve)
        if a ~= RACED then
            return state, a, b, c
        end
    end
    return nil, "downloads of it kept ending as it was claimed"
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

-- Stops the download of key, if one runs (a purge): its requests are cut
-- and nothing is kept. With wait, returns once it has ended (or after
-- waits.purge), so that no request that comes after joins it. Returns
-- whether one ran.
function _M.cancel(key, wait)
    local r, seen = claims.current(key)
    if not r then
        return false
    end
    claims.cancel(r.temp, "cancelled")
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
