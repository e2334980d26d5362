-- cachenode.fetch: the node's downloads. A download belongs to the node, not
-- to a request: a timer of the worker that claimed it runs fetchwrap into a
-- temporary file, renames the finished file to its cache path and leaves the
-- outcome for the requests that follow it. At most fetch_max run at once
-- across all workers; the others wait in line, in arrival order.
--
-- The shared dictionary cachenode_fetch holds, each key built by one function:
--   claim_key(key)    "<owner worker pid> <fetchwrap pid, 0 before> <start> <temporary file>"
--   size_key(temp)    bytes in the temporary file, as the owner last saw them
--   outcome_key(temp) "<status> <bytes> <outcome>" for OUTCOME_SECONDS after the end
--   cancel_key(temp)  set by a purge: the owner stops the download
--   slot_key(i)       "<owner worker pid> <fetchwrap pid, 0 before> <temporary file> <key>",
--                     i = 1..fetch_max
--   ticket_key(t)     owner worker pid of the t-th download in line, while it waits
--   QUEUE_HEAD, QUEUE_TAIL, QUEUE_LOCK: the line's first ticket, its last, and
--                     the lock held while the line or the slots change
--   lock_key(key)     held while the claim of a dead owner is taken down
-- key is the cache file of a cached download, or the spool file of an
-- uncached one (which is then its own temporary file).

local semaphore = require "ngx.semaphore"
local child = require "cachenode.child"
local names = require "cachenode.names"
local sys = require "cachenode.sys"

local ngx = ngx
local ngx_now = ngx.now
local ngx_sleep = ngx.sleep
local ngx_log = ngx.log
local ERR = ngx.ERR
local WARN = ngx.WARN
local INFO = ngx.INFO
local timer_at = ngx.timer.at
local find = string.find
local sub = string.sub
local match = string.match
local tonumber = tonumber
local pairs = pairs
local next = next
local pcall = pcall


local _M = { _VERSION = "1.0" }

-- A finished download's outcome stays this long for the requests that follow it.
local OUTCOME_SECONDS = 60
-- For this long after its start a download is watched every FAST_POLL seconds
-- (a small file is answered within about that of fetchwrap's exit), then
-- every SLOW_POLL.
local FAST_SECONDS = 0.25
local FAST_POLL = 0.001
local SLOW_POLL = 0.01
-- A download still without fetchwrap this long after its line's time-out
-- has lost its timer.
local START_GRACE = 5
-- Runs of fetchwrap for a download whose directory another one removed.
local DIR_TRIES = 3
-- QUEUE_LOCK lasts this long, should its holder die. Its holder never yields;
-- but a slower holder would share the slots with the next: two reclaims of
-- one dead slot could each give it to a download, and the one not recorded
-- would outlive its worker.
local LOCK_SECONDS = 1
-- A waiting download looks at the line this often.
local QUEUE_POLL = 0.005

local QUEUE_HEAD = "queue head"
local QUEUE_TAIL = "queue tail"
local QUEUE_LOCK = "queue lock"

local conf          -- fetchwrap, fetch_max, the three time-outs, on_end
local dict          -- ngx.shared.cachenode_fetch
local wpid          -- this worker's pid
local seq = 0       -- this worker's downloads so far, for temporary names
local waiting = {}  -- key -> { sema, n, seen } of this worker's requests
local watching = false


local function claim_key(key) return "c " .. key end
local function size_key(temp) return "s " .. temp end
local function outcome_key(temp) return "o " .. temp end
local function cancel_key(temp) return "x " .. temp end
local function slot_key(i) return "slot " .. i end
local function ticket_key(t) return "t " .. t end
local function lock_key(key) return "l " .. key end


function _M.init(opts)
    conf = opts
end

function _M.init_worker()
    dict = ngx.shared.cachenode_fetch
    wpid = ngx.worker.pid()
end


-- The next temporary name of this worker for cache file file.
function _M.temp_name(file)
    seq = seq + 1
    return names.temp_name(file, wpid, seq)
end

-- The next spool file of this worker in dir.
function _M.spool_name(dir)
    seq = seq + 1
    return names.spool_name(dir, wpid, seq)
end


local function parse_claim(raw)
    local owner, pid, started, temp = match(raw, "^(%d+) (%d+) (%S+) (.+)$")
    return { owner = tonumber(owner), child = tonumber(pid), started = tonumber(started),
             temp = temp }
end

-- The download of key in progress ({ owner, child, started, temp }) or nil,
-- and a text that changes whenever the download moves on.
function _M.current(key)
    local raw = dict:get(claim_key(key))
    if not raw then
        return nil, ""
    end
    local claim = parse_claim(raw)
    return claim, raw .. " " .. (dict:get(size_key(claim.temp)) or 0)
end
local current = _M.current


-- Whether a claim has lost its owner: the worker died, or its timer never
-- started fetchwrap.
function _M.orphaned(claim)
    if not sys.alive(claim.owner) then
        return true
    end
    return claim.child == 0 and ngx_now() - claim.started > conf.fetch_queue_timeout + START_GRACE
end


-- The outcome of the download into temp once it has ended: the HTTP status
-- (200: the file is complete), its bytes and the outcome's name; or nil.
function _M.outcome(temp)
    local raw = dict:get(outcome_key(temp))
    if not raw then
        return nil
    end
    local status, size, outcome = match(raw, "^(%d+) (%d+) (%S+)$")
    return tonumber(status), tonumber(size), outcome
end


-- Asks the download of key, if one runs, to stop (a purge): its requests are
-- cut and nothing is kept. Returns whether one ran.
function _M.cancel(key)
    local claim = current(key)
    if not claim then
        return false
    end
    dict:safe_set(cancel_key(claim.temp), 1, OUTCOME_SECONDS)
    return true
end


-- Wakes this worker's requests that wait on key.
local function kick(key)
    local w = waiting[key]
    if w then
        local n = -w.sema:count()
        if n > 0 then
            w.sema:post(n)
        end
    end
end


-- Runs while this worker's requests wait: wakes them when a download they
-- follow moved on in another worker.
local function watch(premature)
    if premature then
        watching = false
        return
    end
    while next(waiting) do
        local fast = false
        for key, w in pairs(waiting) do
            local claim, seen = current(key)
            if seen ~= w.seen then
                w.seen = seen
                local n = -w.sema:count()
                if n > 0 then
                    w.sema:post(n)
                end
            end
            if claim and ngx_now() - claim.started < FAST_SECONDS then
                fast = true
            end
        end
        ngx_sleep(fast and FAST_POLL or SLOW_POLL)
    end
    watching = false
end


-- Waits until the download of key moves on from seen (current()'s text), or
-- for timeout seconds.
function _M.wait(key, seen, timeout)
    local w = waiting[key]
    if not w then
        w = { sema = semaphore.new(0), n = 0, seen = seen }
        waiting[key] = w
    elseif w.seen ~= seen then
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


-- Holds a short lock of the shared dictionary, or returns nil.
local function lock(key, seconds)
    return dict:safe_add(key, wpid, seconds)
end


-- ------------------------------------------------------------ the cap
local function ticket_live(t)
    local owner = dict:get(ticket_key(t))
    return owner and sys.alive(owner)
end

local function slot_value(pid, job)
    return wpid .. " " .. pid .. " " .. job.temp .. " " .. job.key
end

-- Takes down the download of key into temp whose owner died: the session of
-- fetchwrap pid (0: not started) killed, and, while it is still key's claim,
-- its temporary file removed and the claim deleted.
local function remove_dead(key, temp, pid)
    if pid > 0 then
        child.kill_session(pid, false, temp)
    end
    local claim = current(key)
    if claim and claim.temp == temp then
        sys.unlink(temp)
        dict:delete(claim_key(key))
    end
    dict:delete(size_key(temp))
end

-- Takes down the download of slot i if its owner died. Returns whether it
-- did, so that the slot may be given to another download.
local function reclaim(i)
    local owner, pid, temp, key = match(dict:get(slot_key(i)) or "", "^(%d+) (%d+) (%S+) (%S+)$")
    if not owner or sys.alive(tonumber(owner)) then
        return false
    end
    remove_dead(key, temp, tonumber(pid))
    return true
end

-- A free slot for job, or nil. A slot of a dead worker is taken over once its
-- download is taken down, so fetchwrap processes never outnumber slots.
local function free_slot(job)
    local mine = slot_value(0, job)
    for i = 1, conf.fetch_max do
        if dict:safe_add(slot_key(i), mine) then
            return i
        end
        if reclaim(i) then
            dict:set(slot_key(i), mine)
            return i
        end
    end
    return nil
end

-- For a timer of one worker, every second or so: downloads whose worker died
-- are stopped and removed, even when no request asks for them again; and the
-- expired entries are freed. The dictionary frees them by itself only from
-- the tail of its LRU list, and a claim without time-out there (a long
-- download) stops that: then expired outcomes and tickets fill it, and
-- safe_add, which never evicts, fails for every new download.
function _M.sweep()
    -- Under the line's lock, as a slot reclaimed here may be given to a
    -- download at the same time.
    if lock(QUEUE_LOCK, LOCK_SECONDS) then
        for i = 1, conf.fetch_max do
            if reclaim(i) then
                dict:delete(slot_key(i))
            end
        end
        dict:delete(QUEUE_LOCK)
    end
    dict:flush_expired()
end

-- Waits in line for a slot: the slot's number, or nil when the line took
-- longer than fetch_queue_timeout or the download was cancelled.
local function take_slot(job)
    local t = dict:incr(QUEUE_TAIL, 1, 0)
    if not dict:safe_set(ticket_key(t), wpid, conf.fetch_queue_timeout + START_GRACE) then
        return nil
    end
    local deadline = ngx_now() + conf.fetch_queue_timeout
    while true do
        if lock(QUEUE_LOCK, LOCK_SECONDS) then
            -- Tickets of requests that left the line, or of dead workers, are
            -- passed over; only the first ticket may take a slot.
            local head = dict:get(QUEUE_HEAD) or 1
            while head < t and not ticket_live(head) do
                head = head + 1
            end
            local slot = head == t and free_slot(job)
            dict:set(QUEUE_HEAD, slot and t + 1 or head)
            dict:delete(QUEUE_LOCK)
            if slot then
                dict:delete(ticket_key(t))
                return slot
            end
        end
        if ngx_now() >= deadline or dict:get(cancel_key(job.temp)) then
            dict:delete(ticket_key(t))
            return nil
        end
        ngx_sleep(QUEUE_POLL)
    end
end

-- Downloads running and waiting for a slot, all workers together.
function _M.counts()
    local running = 0
    for i = 1, conf.fetch_max do
        if dict:get(slot_key(i)) then
            running = running + 1
        end
    end
    local queued = (dict:get(QUEUE_TAIL) or 0) + 1 - (dict:get(QUEUE_HEAD) or 1)
    return running, queued > 0 and queued or 0
end


-- ------------------------------------------------------------ the timer
-- Creates the directories between the cache directory (which must exist: a
-- missing disk is not recreated on the root file system) and the file.
local function make_parents(file, dir_len)
    local pos = dir_len + 1
    while true do
        pos = find(file, "/", pos + 1, true)
        if not pos then
            return true
        end
        local dir = sub(file, 1, pos - 1)
        local ok, errno = sys.mkdir(dir)
        if not ok and errno ~= sys.EEXIST then
            return nil, "mkdir() \"" .. dir .. "\" failed: " .. sys.strerror(errno), errno
        end
    end
end

-- Removes the directories between the cache directory and file that are
-- empty, deepest first: a failed download leaves no directory behind.
local function remove_parents(file, dir_len)
    local pos = #file
    while true do
        pos = find(sub(file, 1, pos - 1), "/[^/]*$")
        if not pos or pos <= dir_len + 1 or not sys.rmdir(sub(file, 1, pos - 1)) then
            return
        end
    end
end

-- Removes the temporary files that downloads of file left when their worker
-- or the whole node died: the claim this worker holds says none other runs.
local function sweep(file)
    local at = find(file, "/[^/]*$")
    local dir, base = sub(file, 1, at - 1), sub(file, at + 1)
    sys.each_entry(dir, function(name)
        if sub(name, 1, #base) == base and names.temp_file(name) == base then
            sys.unlink(dir .. "/" .. name)
        end
    end)
end


-- Ends a download: the temporary file renamed or removed, the outcome left,
-- the claim and the slot given back, the followers woken.
local function finish(job, status, outcome, size)
    if job.fd then
        sys.close(job.fd)
    end
    if status == 200 and job.file then
        local ok, err = sys.rename(job.temp, job.file)
        if not ok then
            ngx_log(ERR, "cachenode: rename() \"", job.temp, "\" to \"", job.file, "\" failed: ", err)
            status, outcome = 502, "failed"
        end
    end
    if status ~= 200 then
        sys.unlink(job.temp)
        if job.file then
            remove_parents(job.file, job.dir_len)
        end
    end
    dict:safe_set(outcome_key(job.temp), status .. " " .. (size or 0) .. " " .. outcome,
                  OUTCOME_SECONDS)
    dict:delete(size_key(job.temp))
    local claim = current(job.key)
    if claim and claim.temp == job.temp then
        dict:delete(claim_key(job.key))
    end
    if job.slot then
        dict:delete(slot_key(job.slot))
    end
    kick(job.key)
    if conf.on_end then
        conf.on_end(outcome, ngx_now() - job.started, size or 0)
    end
end

-- Kills the download's session and ends it with status.
local function stop(job, status, outcome, size, why)
    ngx_log(WARN, "cachenode: download of \"", job.url, "\" ", why, ", killed")
    local ok, err = child.kill_session(job.child, true)
    if not ok then
        ngx_log(ERR, "cachenode: waitpid() for killed fetchwrap ", job.child, ": ", err)
    end
    finish(job, status, outcome, size)
end

-- Whether the directory of the temporary file is gone: a failed download of
-- another file below it removed it as empty (remove_parents) between our
-- mkdir and the client's first write. The download then starts again.
local function lost_dir(job)
    if not job.file then
        return false
    end
    local at = find(job.temp, "/[^/]*$")
    return sys.stat(sub(job.temp, 1, at - 1)) ~= "dir"
end

-- One run of fetchwrap for the download: returns "again" when its directory
-- went under it and this is not the last try, else what finish returns.
local function attempt(job, last)
    if job.file then
        local ok, err, errno = make_parents(job.file, job.dir_len)
        if not ok then
            if errno == sys.ENOENT and not last then
                return "again"
            end
            ngx_log(ERR, "cachenode: ", err)
            return finish(job, 500, "failed")
        end
        sweep(job.file)
    end
    local why = sys.probe_create(job.temp)
    if why then
        if not last and lost_dir(job) then
            return "again"
        end
        ngx_log(ERR, "cachenode: cannot create \"", job.temp, "\": ", why)
        return finish(job, 502, "failed")
    end
    local pid, err = child.spawn({ conf.fetchwrap, job.temp, job.url })
    if not pid then
        ngx_log(ERR, "cachenode: posix_spawn() \"", conf.fetchwrap, "\" failed: ", err)
        return finish(job, 500, "failed")
    end
    job.child = pid
    dict:safe_set(claim_key(job.key), wpid .. " " .. pid .. " " .. job.started .. " " .. job.temp)
    dict:safe_set(slot_key(job.slot), slot_value(pid, job))

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
                dict:safe_set(size_key(job.temp), size)
                kick(job.key)
            end
        end
        if code == 0 then
            return finish(job, 200, "ok", size)
        elseif code == 255 and size == 0 and not last and lost_dir(job) then
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
        if dict:get(cancel_key(job.temp)) then
            return stop(job, 503, "cancelled", size, "was cancelled")
        end
        ngx_sleep(now - job.started < FAST_SECONDS and FAST_POLL or SLOW_POLL)
    end
end

local function download(job)
    local slot = take_slot(job)
    if not slot then
        return finish(job, 503, dict:get(cancel_key(job.temp)) and "cancelled" or "busy")
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
        if job.child then
            child.kill_session(job.child, true)
        end
        finish(job, 500, "failed")
    end
end


-- Claims the download of key for this worker and starts it: job names the
-- url, and the cache file with its directory's length (file, dir_len) or,
-- for an uncached download, nothing more (key is then the spool file). When
-- another download of key runs, that one is returned instead. Returns the
-- claim, or nil and the reason.
function _M.claim(key, job)
    job.key = key
    job.temp = job.file and _M.temp_name(job.file) or key
    job.started = ngx_now()
    local raw = wpid .. " 0 " .. job.started .. " " .. job.temp
    local ok, err = dict:safe_add(claim_key(key), raw)
    if not ok then
        if err == "exists" then
            local claim = current(key)
            if claim then
                return claim
            end
        end
        return nil, "lua_shared_dict cachenode_fetch add failed: " .. err
    end
    ok, err = timer_at(0, run, job)
    if not ok then
        dict:delete(claim_key(key))
        return nil, "ngx.timer.at() failed: " .. err
    end
    return parse_claim(raw)
end


-- Takes down the claim of key that lost its owner: its session killed, its
-- temporary file removed, the claim deleted, so that the next claim starts
-- the download again. One worker does it; the others find it done.
function _M.take_down(key, claim)
    if not lock(lock_key(key), 2) then
        return
    end
    local now = current(key)
    if now and now.temp == claim.temp then
        remove_dead(key, claim.temp, claim.child)
    end
    dict:delete(lock_key(key))
end


return _M
