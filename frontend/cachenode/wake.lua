-- cachenode.wake: wakes the requests of this worker that wait on a download
-- when the download moves on, whichever worker runs it. The worker that runs
-- a download wakes its own requests at once (kick); requests that follow
-- another worker's download are woken by a watcher, a timer that runs while
-- any request waits and compares each download's state with what its
-- requests saw.

local semaphore = require "ngx.semaphore"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_sleep = ngx.sleep
local timer_at = ngx.timer.at
local pairs = pairs
local next = next


local _M = { _VERSION = "1.0" }

local state         -- state(key): a text that changes whenever the download of key moves on, and its age
local waiting = {}  -- key -> { sema, n (requests waiting), seen (the state they saw) }
local watching = false


-- state(key) returns the download's state text and its age in seconds.
function _M.init(state_fn)
    state = state_fn
end


local function post(w)
    local n = -w.sema:count()
    if n > 0 then
        w.sema:post(n)
    end
end

-- Wakes this worker's requests that wait on key.
function _M.kick(key)
    local w = waiting[key]
    if w then
        post(w)
    end
end


local function watch(premature)
    if premature then
        watching = false
        return
    end
    while next(waiting) do
        local youngest = waits.progress_fast_for
        for key, w in pairs(waiting) do
            local seen, age = state(key)
            if seen ~= w.seen then
                w.seen = seen
                post(w)
            end
            if age and age < youngest then
                youngest = age
            end
        end
        ngx_sleep(waits.progress(youngest))
    end
    watching = false
end


-- Waits until the download of key moves on from seen (a state text), or for
-- timeout seconds.
function _M.wait(key, seen, timeout)
    local w = waiting[key]
    if not w then
        w = { sema = semaphore.new(0), n = 0, seen = seen }
        waiting[key] = w
    elseif w.seen ~= seen then
        -- Requests that saw different states: the next look wakes them all.
        w.seen = false
    end
    if not watching then
        watching = timer_at(0, watch) and true
    end
    w.n = w.n + 1
    w.sema:wait(timeout)
    w.n = w.n - 1
    if w.n == 0 then
        waiting[key] = nil
    end
end


return _M
