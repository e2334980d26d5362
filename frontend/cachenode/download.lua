-- cachenode.download: the run of one download, in a timer of the worker
-- that claimed it (cachenode.fetch): a place in line and a slot
-- (cachenode.line), fetchwrap into the temporary file, its written prefix
-- watched and told to the followers, the time-outs and the stop asked for by
-- a purge or for room, and at the end the file renamed into place or
-- removed, the outcome left and the claim and the slot given back.
--
-- A cached download writes only to its cache directory's disk: the
-- directory must be up and on the device it was checked on when the
-- download begins; a file its client wrote on another device (the disk was
-- unmounted under it, and the path led to the file system above) is
-- stopped at the next look and removed, and a file is renamed into place
-- only while its descriptor is still on that disk and its name still leads
-- to it.

local child = require "cachenode.child"
local claims = require "cachenode.claims"
local clients = require "cachenode.clients"
local disks = require "cachenode.disks"
local files = require "cachenode.files"
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
local pcall = pcall
local ipairs = ipairs
local sub = string.sub


local _M = { _VERSION = "1.0" }

-- Runs of fetchwrap for a download whose directory another one removed.
local DIR_TRIES = 3
-- Why a download was stopped, by the outcome asked for.
local STOPPED = { cancelled = "was purged", yielded = "had no viewer while misses waited" }

local conf          -- fetchwrap, fetch_queue_timeout, the two other time-outs, on_end
local cap           -- the line (cachenode.line)
local wpid          -- this worker's pid


function _M.init_worker(opts, the_cap)
    conf, cap, wpid = opts, the_cap, ngx.worker.pid()
end


-- The cache directory of a cached download.
local function dir_of(job)
    return sub(job.file, 1, job.dir_len)
end

-- A disk error errno met by the download took its directory out.
local function disk_error(job, errno, why)
    if job.file then
        disks.failed(dir_of(job), errno, why)
    end
end

-- Why the finished temporary file of a cached download may not be renamed
-- into place, or nil: it must be on its directory's disk, by its
-- descriptor, and its name must still lead to that file.
local function misplaced(job)
    local fd = job.fd or sys.open_read(job.temp)
    local dev, ino
    if fd then
        dev, ino = sys.fd_id(fd)
        if not job.fd then
            sys.close(fd)
        end
    end
    local _, _, path_dev, path_ino = sys.stat(job.temp)
    if not dev or dev ~= job.dev or path_dev ~= dev or path_ino ~= ino then
        return "it is not on the disk of " .. dir_of(job) .. " (or no longer at its name)"
    end
    return nil
end

-- Ends a download: the temporary file renamed or removed, the outcome left,
-- the claim, the slot and its client's count given back, the followers
-- woken.
local function finish(job, status, what, size, no_file)
    if status == 200 and job.file then
        local why = misplaced(job)
        local ok, err, errno
        if why then
            ngx_log(ERR, "cachenode: \"", job.temp, "\" is not renamed into place: ", why)
        else
            ok, err, errno = sys.rename(job.temp, job.file)
        end
        if not ok then
            if err then
                ngx_log(ERR, "cachenode: rename() \"", job.temp, "\" to \"", job.file, "\" failed: ", err)
                disk_error(job, errno, "rename() \"" .. job.temp .. "\" failed: " .. err)
            end
            status, what = 502, "failed"
        end
    end
    if job.fd then
        sys.close(job.fd)
        job.fd = nil
    end
    if status ~= 200 then
        sys.unlink(job.temp)
        if job.file then
            files.remove_parents(job.file, job.dir_len)
        end
    elseif not job.file and claims.cancelled(job.temp) then
        -- A spool file whose answer ended while fetchwrap finished it.
        sys.unlink(job.temp)
    end
    if no_file then
        claims.remember_failure(job.url, status)
    end
    claims.ended(job, status, size or 0)
    if job.slot > 0 then
        cap:release(job.slot)
    end
    clients.leave(job.client)
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
        -- Taken out meanwhile, or its disk went since the miss looked.
        job.dev = disks.usable(dir_of(job))
        if not job.dev then
            ngx_log(WARN, "cachenode: download of \"", job.url, "\" not started: ", dir_of(job), " is out")
            return finish(job, 503, "failed")
        end
        local ok, err, errno = files.make_parents(job.file, job.dir_len)
        if not ok then
            if errno == sys.ENOENT and not last then
                return "again"
            end
            ngx_log(ERR, "cachenode: ", err)
            disk_error(job, errno, err)
            return finish(job, 500, "failed")
        end
        files.remove_stale(job.file)
    end
    local ok, err, errno = sys.probe_create(job.temp)
    if not ok then
        if not last and job.file and files.dir_gone(job.temp) then
            return "again"
        end
        ngx_log(ERR, "cachenode: cannot create \"", job.temp, "\": ", err)
        disk_error(job, errno, "open() \"" .. job.temp .. "\" failed: " .. err)
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
            local now_prefix, now_size, now_blocks, dev = sys.written(job.fd)
            if job.file and now_prefix and dev ~= job.dev then
                disks.take_out(dir_of(job), "a download's file \"" .. job.temp .. "\" is on another device")
                return stop(job, 502, "failed", size, "wrote onto another file system than " .. dir_of(job)
                            .. "'s disk (unmounted under it?)")
            end
            if now_prefix and (now_prefix ~= prefix or now_size ~= size or now_blocks ~= blocks) then
                grown = ngx_now()
                size, blocks = now_size, now_blocks
                if now_prefix > prefix then
                    prefix = now_prefix
                    claims.grew(job.temp, prefix)
                    wake.kick(job.key)
                end
            end
        end
        local stopped = claims.cancelled(job.temp)
        if code == 0 then
            return finish(job, 200, "ok", size)
        elseif code == 255 and size == 0 and not last and job.file and files.dir_gone(job.temp) then
            ngx_log(INFO, "cachenode: the directory of \"", job.temp, "\" went, fetched again")
            if job.fd then
                sys.close(job.fd)
                job.fd = nil
            end
            return "again"
        elseif code and stopped then
            -- Stopped meanwhile: an uncached download's spool file goes with
            -- its answer, and fetchwrap then finds no file. Not a failure.
            return finish(job, 503, stopped, size)
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
        if stopped then
            return stop(job, 503, stopped, size, STOPPED[stopped])
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
        claims.cancel(oldest.temp, "yielded")
    end
end

local function download(job)
    -- A download in line whose viewers all left gives up its place.
    local slot, why = cap:acquire(wpid, record.build(job),
                                  job.started + conf.fetch_queue_timeout, function()
        return claims.cancelled(job.temp) or (claims.viewers(job.temp) <= 0 and "yielded")
    end, make_room)
    if not slot then
        if why ~= "busy" and not STOPPED[why] then
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


-- The timer's callback: runs the download of job (a record with its url and
-- client, and file and dir_len for a cached download), whatever happens.
_M.run = run


return _M
