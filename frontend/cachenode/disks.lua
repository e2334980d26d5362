-- cachenode.disks: each cache directory as a disk the node watches. A
-- directory is up or out; one that is out gets no new file, and the URLs
-- that map to it are mapped over the other directories (cache_dirs_out
-- remap: uri2d over the list without it, so that only its share moves) or
-- downloaded for each viewer without being kept (stream). Every worker
-- keeps its own copy of the list of directories that are up and looks at
-- the shared generation once a second (and a miss at once), so that a HIT
-- reads no shared state.
--
-- A directory goes out when a check fails: it is not there, it is not the
-- root of a file system of its own (cache_dirs_mounted), or it takes no
-- block written to its disk (worker 0 checks each one every waits.disks
-- seconds in a thread of nginx's pool, cachenode.probe), or when a read or
-- a write of the node meets EIO, EROFS or EUCLEAN there, or a download's
-- file is on another device than the one the directory was checked on. It
-- comes back when its check passes at a start or a reload, or at the disk
-- guard's round: not at once, so that a disk whose files fail now and then
-- does not come and go every second.
--
-- The shared dictionary cachenode_disks holds, each key built by one
-- function below:
--   GEN            a number that grows at every change of what is out
--   out_key(dir)   why dir is out, while it is
--   dev_key(dir)   the device of dir's file system when it was last found up

local names = require "cachenode.names"
local probe = require "cachenode.probe"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_log = ngx.log
local ngx_now = ngx.now
local ERR = ngx.ERR
local WARN = ngx.WARN
local NOTICE = ngx.NOTICE
local ipairs = ipairs
local concat = table.concat
local sub = string.sub
local tostring = tostring


local _M = { _VERSION = "1.0" }

-- The thread pool of nginx.conf.in that the checks run in, with the reads of
-- large cached files.
local POOL = "cachenode_io"
local GEN = "gen"
local function out_key(dir) return "o " .. dir end
local function dev_key(dir) return "d " .. dir end

-- errno values that say the disk is failing, not that a file is missing.
local FATAL = { [sys.EIO] = true, [sys.EROFS] = true, [sys.EUCLEAN] = true }

local dict          -- ngx.shared.cachenode_disks
local dirs          -- every cache directory, in list order
local mounted       -- cache_dirs_mounted
local on_change     -- on_change(live): this worker's list of those up changed
local seen          -- the generation this worker's list is of
local out_here = {} -- dir -> why it is out, as this worker last saw
local checking = {} -- worker 0: dir -> when its check began, while it runs


-- A file of dir met errno: when it says that the disk is failing, not
-- that a file is missing, dir goes out for why.
function _M.failed(dir, errno, why)
    if FATAL[errno] then
        _M.take_out(dir, why)
    end
end


-- This worker's list: read again when the generation moved. Returns
-- whether it changed.
local function refresh()
    local gen = dict:get(GEN) or 0
    if gen == seen then
        return false
    end
    seen = gen
    local up = {}
    out_here = {}
    for _, dir in ipairs(dirs) do
        local why = dict:get(out_key(dir))
        if why then
            out_here[dir] = why
        else
            up[#up + 1] = dir
        end
    end
    -- The directories up, as uri2d takes them: "" when none is.
    on_change(concat(up, "|"))
    return true
end
_M.refresh = refresh


-- Takes dir out for why; logs and returns true when this call did. Either
-- way a worker's list is then the shared one (another worker may have taken
-- dir out first), so that a miss that maps again maps elsewhere; the
-- master, at the start, has no list.
function _M.take_out(dir, why)
    local ok, err = dict:add(out_key(dir), why)
    if ok then
        dict:incr(GEN, 1, 0)
        ngx_log(WARN, "cachenode: cache directory ", dir, " taken out: ", why)
    elseif err ~= "exists" then
        ngx_log(ERR, "cachenode: lua_shared_dict cachenode_disks add failed: ", err)
    end
    if on_change then
        refresh()
    end
    return ok == true
end

-- Why dir, found on device dev, is not the disk it was found up on before
-- (a mount point left behind, or a disk swapped), or nil; and that device.
local function moved(dir, dev)
    local known = dict:get(dev_key(dir))
    return known and known ~= dev and "its file system changed (device " .. known .. ", now " .. dev .. ")",
           known
end

-- dir was checked and found up on device dev. Unless it may come back, a
-- device other than the one it was found up on before is a disk that went
-- (a mount point left behind) or was swapped: out, with or without
-- cache_dirs_mounted.
local function found_up(dir, dev, may_return)
    local why = not may_return and moved(dir, dev)
    if why then
        _M.take_out(dir, why)
        return
    end
    dict:set(dev_key(dir), dev)
    if may_return and dict:get(out_key(dir)) then
        dict:delete(out_key(dir))
        dict:incr(GEN, 1, 0)
        ngx_log(NOTICE, "cachenode: cache directory ", dir, " is back")
        refresh()
    end
end


-- Why dir is out, or nil: as this worker last saw (the memo's side), or as
-- the shared dictionary says now (now true).
function _M.out(dir, now)
    if now then
        return dict:get(out_key(dir))
    end
    return out_here[dir]
end

-- Every directory with why it is out (nil while up), as the shared
-- dictionary says now: for health and the metrics.
function _M.states()
    local list = {}
    for i, dir in ipairs(dirs) do
        list[i] = { dir = dir, why = dict:get(out_key(dir)) }
    end
    return list
end


-- Whether a new file may go to dir now: it is up, still on the device it
-- was found up on (and the root of its own file system with
-- cache_dirs_mounted), and file, when given, opens without a disk error.
-- Returns that device, or false; takes dir out when it is not so. Two
-- stat() calls and an open(): for the miss path, not for a HIT.
function _M.usable(dir, file)
    if dict:get(out_key(dir)) then
        refresh()
        return false
    end
    local dev, why = probe.mount(dir, mounted)
    local known
    if dev then
        why, known = moved(dir, dev)
        dev = not why and dev
    end
    if not dev then
        _M.take_out(dir, why)
        return false
    end
    if not known then
        dict:set(dev_key(dir), dev)
    end
    if file then
        local fd, err, errno = sys.open_read(file)
        if fd then
            sys.close(fd)
        elseif FATAL[errno] then
            _M.take_out(dir, "open() \"" .. file .. "\" failed: " .. err)
            return false
        end
    end
    return dev
end


-- One check of dir in a thread of the pool; may_return: a dir that is out
-- and passes comes back.
local function check(dir, may_return)
    checking[dir] = ngx_now()
    local name = names.temp_name("cachenode-probe", ngx.worker.pid(), 0)
    local ok, dev, why = ngx.run_worker_thread(POOL, "cachenode.probe", "disk", dir, mounted, name)
    checking[dir] = nil
    if not ok then
        ngx_log(ERR, "cachenode: ngx.run_worker_thread() for the check of ", dir, " failed: ", dev)
    elseif dev then
        found_up(dir, dev, may_return)
    else
        _M.take_out(dir, why)
    end
end

local function check_timer(premature, dir, may_return)
    if not premature then
        check(dir, may_return)
    end
end

-- Worker 0, every waits.disks: a check of every directory that is up and
-- has none running; one that has run for waits.disk_check is a disk that
-- does not answer.
local function watch()
    local now = ngx_now()
    for _, dir in ipairs(dirs) do
        local began = checking[dir]
        if began then
            if now - began >= waits.disk_check then
                _M.take_out(dir, "a check has waited " .. waits.disk_check .. " s for its disk")
            end
        elseif not dict:get(out_key(dir)) then
            ngx.timer.at(0, check_timer, dir, false)
        end
    end
end

-- The disk guard's round, in its timer: every directory that is out and
-- has no check running is checked, and comes back when it passes. Returns
-- once they are checked.
function _M.check_out()
    for _, dir in ipairs(dirs) do
        if not checking[dir] and dict:get(out_key(dir)) then
            check(dir, true)
        end
    end
end


-- The start's look, in the master before any worker maps a request: a
-- directory that is not there or not mounted (a disk lost at a reboot) is
-- out from the first request. opts: dirs, cache_dirs_mounted.
function _M.init(opts)
    dict = ngx.shared.cachenode_disks
    if not dict then
        return nil, "lua_shared_dict cachenode_disks is not configured"
    end
    dirs, mounted = opts.dirs, opts.cache_dirs_mounted
    for _, dir in ipairs(dirs) do
        local dev, why = probe.mount(dir, mounted)
        if dev then
            dict:set(dev_key(dir), dev)
        else
            _M.take_out(dir, why)
        end
    end
    return true
end

local function tick(premature)
    if premature then
        return
    end
    refresh()
    if ngx.worker.id() == 0 then
        watch()
    end
end

-- For init_worker: the_on_change(live) is called with this worker's list
-- now and whenever it changes; worker 0 checks every directory at once
-- (one that is out comes back when it passes: a reload brings back what
-- was mended), then watches them.
function _M.init_worker(the_on_change)
    on_change = the_on_change
    seen = nil
    refresh()
    if ngx.worker.id() == 0 then
        for _, dir in ipairs(dirs) do
            ngx.timer.at(0, check_timer, dir, true)
        end
    end
    local ok, err = ngx.timer.every(waits.disks, tick)
    if not ok then
        return nil, "ngx.timer.every(" .. waits.disks .. ") failed: " .. tostring(err)
    end
    return true
end


-- The cache directory of dirs that holds file, or nil.
function _M.dir_of(file)
    local len = names.dir_len(file, dirs)
    return len and sub(file, 1, len)
end


return _M
