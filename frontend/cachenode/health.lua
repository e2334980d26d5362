-- cachenode.health: whether the node takes new viewers, as a balancer's check
-- of /cachenode/health asks. It does when it is not drained, the library
-- answers, the spool takes a new file and at least cache_dirs_min cache
-- directories are up (cachenode.disks, whose watch checks their disks); the
-- answer names each directory that is out. A worker looks at most once
-- every LOOK_SECONDS and answers from its last look in between, so checks
-- from any number of balancers cost a few file creations a second.

local disks = require "cachenode.disks"
local spool = require "cachenode.spool"
local sys = require "cachenode.sys"

local ngx = ngx
local concat = table.concat
local ipairs = ipairs


local _M = { _VERSION = "1.0" }

-- A balancer checks about every second and marks a node down after a few
-- failed checks: a look a second at most keeps a failure's notice within one
-- check interval.
local LOOK_SECONDS = 1

local drained       -- the drain knob: true answers 503 whatever the disks say
local spool_dir
local least         -- cache_dirs_min
local lib           -- libcachekit, as cachenode.lua loaded it
-- This worker's last look; a worker starts as if the node were fine.
local last_at = -LOOK_SECONDS
local last_ok, last_text = true, nil


-- conf: drain, spool_dir and cache_dirs_min as config.load() gives them;
-- the_lib the loaded library.
function _M.init(conf, the_lib)
    drained, spool_dir, least, lib = conf.drain, conf.spool_dir, conf.cache_dirs_min, the_lib
end


-- Creates and removes a file in dir: nil, or why dir takes no new file. The
-- name is one no request maps to, of this worker, numbered 0, which its
-- downloads never use: a name the sweep removes when the worker dies before
-- the unlink.
local function probe(dir, name)
    -- fileExist answers 0 for an existing path: the library's own call, so a
    -- library that stopped answering shows here too.
    if lib.fileExist(dir) ~= 0 then
        return "is not there"
    end
    local ok, why = sys.probe_create(name)
    return not ok and "takes no new file: " .. why or nil
end

local function look()
    local wrong, outs = {}, {}
    if drained then
        wrong[1] = "draining (drain=on)"
    end
    local states = disks.states()
    for _, state in ipairs(states) do
        if state.why then
            outs[#outs + 1] = "cache directory " .. state.dir .. " is out: " .. state.why
        end
    end
    local up = #states - #outs
    if up < least then
        wrong[#wrong + 1] = "only " .. up .. " of " .. #states .. " cache directories are up (cache_dirs_min="
                            .. least .. ")"
    end
    local why = probe(spool_dir, spool.name(spool_dir, ngx.worker.pid(), 0))
    if why then
        wrong[#wrong + 1] = "spool " .. spool_dir .. " " .. why
    end
    if #wrong > 0 then
        for _, out in ipairs(outs) do
            wrong[#wrong + 1] = out
        end
        return false, concat(wrong, "; ")
    end
    local text = "ok: " .. (#outs > 0 and up .. " of " or "") .. #states
                 .. " cache directories and the spool take new files"
    return true, #outs > 0 and text .. "; " .. concat(outs, "; ") or text
end


-- Whether the node takes new viewers, a line saying why (or what was looked
-- at), and whether this worker's answer changed with this look: to a failure,
-- to another failure or back to fine.
function _M.check()
    local now = ngx.now()
    if now - last_at < LOOK_SECONDS then
        return last_ok, last_text, false
    end
    local ok, text = look()
    local changed = ok ~= last_ok or (not ok and text ~= last_text)
    last_at, last_ok, last_text = now, ok, text
    return ok, text, changed
end


return _M
