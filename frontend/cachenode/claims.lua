-- cachenode.claims: the node's downloads as the shared dictionary
-- cachenode_fetch records them, for cachenode.fetch alone. Each key is built
-- by one function:
--   claim_key(key)    the download's record (cachenode.record) while it runs
--   size_key(temp)    bytes in the temporary file, as the owner last saw them
--   outcome_key(temp) "<status> <bytes>" for OUTCOME_SECONDS after the end
--   cancel_key(temp)  the outcome the owner must stop the download with:
--                     "cancelled" (a purge) or "yielded" (nobody watches and
--                     misses wait for a slot)
--   viewers_key(temp) requests following the download, all workers together
--   lock_key(key)     held while key's claim changes after it was made
--   failed_key(url)   the status of url's last download, which fetchwrap
--                     found no file for, for negative_ttl seconds
--   YIELD_TURN        held while a download is being stopped to make room
-- key is the cache file of a cached download, or the spool file of an
-- uncached one (its own temporary file).

local child = require "cachenode.child"
local names = require "cachenode.names"
local record = require "cachenode.record"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_now = ngx.now
local match = string.match
local tonumber = tonumber


local _M = { _VERSION = "1.0" }

-- A finished download's outcome stays this long for the requests that follow it.
local OUTCOME_SECONDS = 60
-- A download still without fetchwrap this long after its line's time-out
-- has lost its timer.
local START_GRACE = 5

local dict          -- ngx.shared.cachenode_fetch
local queue_timeout -- fetch_queue_timeout
local negative_ttl  -- seconds a failed download is remembered (0: not at all)


local function claim_key(key) return "c " .. key end
local function size_key(temp) return "s " .. temp end
local function outcome_key(temp) return "o " .. temp end
local function cancel_key(temp) return "x " .. temp end
local function lock_key(key) return "l " .. key end
local function viewers_key(temp) return "v " .. temp end
local function failed_key(url) return "n " .. url end
local YIELD_TURN = "yield turn"


function _M.init(the_dict, fetch_queue_timeout, the_negative_ttl)
    dict, queue_timeout, negative_ttl = the_dict, fetch_queue_timeout, the_negative_ttl
end


-- The download of key in progress (its record) or nil, a text that changes
-- whenever the download moves on ("" when none runs), and the bytes its
-- owner has seen written from the file's start.
function _M.current(key)
    local text = dict:get(claim_key(key))
    local r = record.parse(text)
    if not r then
        return nil, "", 0
    end
    local bytes = dict:get(size_key(r.temp)) or 0
    return r, text .. " " .. bytes, bytes
end
local current = _M.current

-- Whether a download has lost its owner: the worker died, or its timer
-- never started fetchwrap.
function _M.orphaned(r)
    if not sys.alive(r.owner) then
        return true
    end
    return r.child == 0 and ngx_now() - r.started > queue_timeout + START_GRACE
end
local orphaned = _M.orphaned

-- The outcome of the download into temp once it has ended: the HTTP status
-- (200: the file is whole) and its bytes; or nil.
function _M.outcome(temp)
    local status, bytes = match(dict:get(outcome_key(temp)) or "", "^(%d+) (%d+)$")
    return tonumber(status), tonumber(bytes)
end

-- Whether path is the temporary file of a running download, or the cache
-- file one is making.
function _M.holds(path)
    local r = current(names.temp_file(path) or path)
    return r ~= nil and (r.temp == path or r.key == path) and not orphaned(r)
end


-- Makes the claim of download r (a record). Returns true; or nil and
-- "exists" when another download of r.key runs, or the dictionary's reason.
-- Its viewers' count is made with it, before a request can follow it, and
-- goes with it (release()): a viewer never makes the count (see watch()).
function _M.add(r)
    local ok, err = dict:safe_set(viewers_key(r.temp), 0)
    if ok then
        ok, err = dict:safe_add(claim_key(r.key), record.build(r))
    end
    if not ok then
        dict:delete(viewers_key(r.temp))
    end
    return ok, err
end

-- Runs fn() while holding key's lock, and only while key's claim is the
-- download into temp. patient: wait (yielding) for a lock another holds;
-- else give up. The lock keeps a claim made meanwhile by a new download
-- from being taken for this one's: every change to a claim after it was
-- made happens under it, and a new claim needs the old one gone.
local function while_mine(key, temp, patient, fn)
    local lock = lock_key(key)
    if not waits.take(dict, lock, patient) then
        return nil, "locked"
    end
    local r = record.parse(dict:get(claim_key(key)))
    if r and r.temp == temp then
        fn()
    end
    dict:delete(lock)
    return true
end

-- Deletes key's claim, and its viewers' count, if it is still that of the
-- download into temp.
function _M.release(key, temp, patient)
    return while_mine(key, temp, patient, function()
        dict:delete(claim_key(key))
        dict:delete(viewers_key(temp))
    end)
end
local release = _M.release

-- Download r (a record) moved on: its claim says so, while it is still its.
function _M.update(r)
    local text = record.build(r)
    return while_mine(r.key, r.temp, true, function()
        dict:safe_set(claim_key(r.key), text)
    end)
end

-- The temporary file temp has grown to size bytes.
function _M.grew(temp, size)
    dict:safe_set(size_key(temp), size)
end

-- Download r ended with status after size bytes: its outcome
-- is left for its followers, then its claim released.
function _M.ended(r, status, size)
    dict:safe_set(outcome_key(r.temp), status .. " " .. size, OUTCOME_SECONDS)
    dict:delete(size_key(r.temp))
    release(r.key, r.temp, true)
end

-- Takes down a download whose owner died (record r): the session of its
-- fetchwrap killed (only while it still runs for that temporary file), the
-- file removed, the claim released. Never yields: the line's sweep calls it
-- under the line's lock.
function _M.take_down(r)
    if r.child > 0 then
        child.kill_session(r.child, false, r.temp)
    end
    sys.unlink(r.temp)
    release(r.key, r.temp, false)
    dict:delete(size_key(r.temp))
end


-- Asks the download into temp to stop with outcome what ("cancelled" or
-- "yielded"): its requests are cut and nothing is kept.
function _M.cancel(temp, what)
    dict:safe_set(cancel_key(temp), what, OUTCOME_SECONDS)
end

-- The outcome the download into temp was asked to stop with, or nil.
function _M.cancelled(temp)
    return dict:get(cancel_key(temp))
end

-- A request starts (1) or stops (-1) following the download into temp.
-- Once the download has ended its count is gone and stays gone: a count
-- made here, by a viewer leaving after the end, would have no time-out and
-- stay in the dictionary for good.
function _M.watch(temp, delta)
    dict:incr(viewers_key(temp), delta)
end

-- Requests following the download into temp, all workers together. A
-- worker that died while its requests followed leaves its count behind
-- until the download ends: such a download never counts as unwatched.
function _M.viewers(temp)
    return dict:get(viewers_key(temp)) or 0
end

-- The turn to stop one download for room, or nil while another worker has
-- it: at most one every waits.yield seconds, the time a stopped download
-- takes to give its slot back.
function _M.yield_turn()
    return dict:safe_add(YIELD_TURN, 1, waits.yield)
end


-- The status of url's last download when fetchwrap found no file for it,
-- while remembered; or nil.
function _M.failed(url)
    return negative_ttl > 0 and dict:get(failed_key(url)) or nil
end

-- fetchwrap found no file for url: its status is remembered.
function _M.remember_failure(url, status)
    if negative_ttl > 0 then
        dict:safe_set(failed_key(url), status, negative_ttl)
    end
end

-- Forgets url's failure (a purge). Returns whether one was remembered.
function _M.forget(url)
    local had = dict:get(failed_key(url)) ~= nil
    dict:delete(failed_key(url))
    return had
end


return _M
