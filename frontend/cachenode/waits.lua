-- cachenode.waits: every interval at which the front end looks again at what
-- another process changes (a download's file, the shared dictionary, a
-- child), each with the latency it buys, and the backoff of a loop that
-- waits for another worker (lua-resty-lock's). Nothing else in the front end
-- sleeps for a time of its own.

local min = math.min
local max = math.max
local ngx_now = ngx.now
local ngx_sleep = ngx.sleep


local _M = {
    -- A download's process and file (in the worker that runs it), and the
    -- downloads a worker's requests follow (in every worker): every
    -- progress_fast seconds for the first progress_fast_for seconds of a
    -- download, so that a small file is answered within about that of
    -- fetchwrap's exit; then every progress_slow seconds, the most a streamed
    -- byte waits before it is sent.
    progress_fast = 0.001,
    progress_fast_for = 0.25,
    progress_slow = 0.01,
    -- A request that follows a download looks again at least this often,
    -- woken or not: a dead owner is found within about that.
    follow = 0.5,
    -- A miss in line backs off from first to most seconds while a ticket
    -- ahead of it waits: a freed slot is taken within `most`.
    line = { first = 0.001, ratio = 2, most = 0.05 },
    -- A child process being waited for (checkdisk, a killed fetchwrap).
    child = { first = 0.001, ratio = 2, most = 0.05 },
    -- A killed child is waited for this long before it counts as lost.
    kill_reap = 2,
    -- checkdisk of one directory: a run longer than this hangs (a
    -- notification endpoint that never answers, a dead mount) and is killed.
    checkdisk = 600,
    -- A purge waits this long for the download it stops to end.
    purge = 5,
    -- Each worker looks at which cache directories are up this often, and
    -- worker 0 checks each disk as often: a disk that fails or goes is out
    -- of every worker's mapping within about twice that.
    disks = 1,
    -- A check of a disk that has not answered after this long finds it out:
    -- a disk that hangs (a bus reset, a controller's retries) holds a
    -- thread of the pool, never a worker.
    disk_check = 10,
    -- A streamed miss whose next bytes have left the page cache asks the
    -- kernel to read them and looks again, backing off from first to most
    -- seconds: a read ahead of a chunk from a disk takes some milliseconds.
    cold = { first = 0.001, ratio = 2, most = 0.02 },
    -- While misses wait in line, a download nobody watches is stopped to
    -- make room at most this often: about the time a stopped download
    -- takes to give its slot back.
    yield = 0.2,
    -- A lock of the shared dictionary (the line's, a claim's) lasts this
    -- long should its holder die; its holder never yields while it holds it.
    lock = 1,
}


-- How long a download started age seconds ago waits before its next look.
function _M.progress(age)
    return age < _M.progress_fast_for and _M.progress_fast or _M.progress_slow
end


-- The next step of a backoff after step (0 at first): curve.ratio times the
-- last, at most curve.most and not past left seconds, but at least
-- curve.first (a shorter sleep would not let ngx.now() move on).
function _M.step(curve, step, left)
    return max(curve.first, min(step * curve.ratio, curve.most, left))
end


-- Takes the lock key of the shared dictionary dict. patient: waits for it
-- (yielding, backing off as the line does) until it has expired at the
-- latest; else gives up at once. Returns true, or nil when not taken.
function _M.take(dict, key, patient)
    local step, deadline = 0, ngx_now() + 2 * _M.lock
    while not dict:safe_add(key, 1, _M.lock) do
        if not patient or ngx_now() >= deadline then
            return nil
        end
        step = _M.step(_M.line, step, _M.lock)
        ngx_sleep(step)
    end
    return true
end


return _M
