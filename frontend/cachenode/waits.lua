-- cachenode.waits: every interval at which the front end looks again at what
-- another process changes (a download's file, the shared dictionary, a
-- child), each with the latency it buys, and the backoff of a loop that
-- waits for another worker (lua-resty-lock's). Nothing else in the front end
-- sleeps for a time of its own.

local min = math.min
local max = math.max


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
    -- While misses wait in line, a download nobody watches is stopped to
    -- make room at most this often: about the time a stopped download
    -- takes to give its slot back.
    yield = 0.2,
    -- The line's lock lasts this long should its holder die; its holder
    -- never yields while it holds it.
    lock = 1,
}


-- How long a download started age seconds ago waits before its next look.
function _M.progress(age)
    return age < _M.progress_fast_for and _M.progress_fast or _M.progress_slow
end


-- The next step of a backoff after step (0 at first): spec.ratio times the
-- last, at most spec.most and not past left seconds, but at least
-- spec.first (a shorter sleep would not let ngx.now() move on).
function _M.step(spec, step, left)
    return max(spec.first, min(step * spec.ratio, spec.most, left))
end


return _M
