-- cachenode.guard: the disk guard. A timer of worker 0 runs checkdisk for
-- each cache directory in turn, each in a process of its own (the cachekit
-- program), so that no worker waits on a walk or a shell. checkdisk asks the
-- front end's notification location before each removal; its log tells the
-- removals, which are counted. Each round first checks the directories that
-- are out (cachenode.disks), which come back when they pass; one still out
-- is skipped, as a walk of a failing disk may hang.

local child = require "cachenode.child"
local disks = require "cachenode.disks"
local metrics = require "cachenode.metrics"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_log = ngx.log
local ERR = ngx.ERR
local ipairs = ipairs
local pcall = pcall
local find = string.find
local io_open = io.open


local _M = { _VERSION = "1.0" }

-- checkdisk's removal commands append "DATE autodel FILE" (or "DATE can not
-- autodel FILE", kept by the notification) here, one line a file.
local AUTODEL_LOG = "/usr/local/dadiv-urede/logs/autodel.log"

local conf          -- cachekit_cli, cachekit_lib, guard_min_free_gb, guard_max_files
local dirs
local running = false


-- The files of dir removed according to the lines the log gained beyond
-- offset.
local function removed_since(offset, dir)
    local log = io_open(AUTODEL_LOG, "r")
    if not log then
        return 0
    end
    log:seek("set", offset)
    local count = 0
    for line in log:lines() do
        if find(line, " autodel " .. dir .. "/", 1, true) and not find(line, " can not autodel ", 1, true) then
            count = count + 1
        end
    end
    log:close()
    return count
end


-- checkdisk for dir; false when no process could be started.
local function check(dir)
    local kind, offset = sys.stat(AUTODEL_LOG)
    offset = kind and offset or 0
    local pid, err = child.spawn({ conf.cachekit_cli, "--lib", conf.cachekit_lib, "checkdisk", dir,
                                   "--min-free", conf.guard_min_free_gb,
                                   "--max-files", conf.guard_max_files, "--yes" })
    if not pid then
        ngx_log(ERR, "cachenode: posix_spawn() \"", conf.cachekit_cli, "\" failed: ", err)
        return false
    end
    local code
    code, err = child.wait(pid, ngx.now() + waits.checkdisk)
    if err == "timeout" then
        ngx_log(ERR, "cachenode: checkdisk \"", dir, "\" ran over ", waits.checkdisk, " s, killed")
        child.kill_session(pid, true)
    elseif code ~= 0 then
        ngx_log(ERR, "cachenode: checkdisk \"", dir, "\": ",
                code and ("exit status " .. code) or err)
    end
    metrics.removed(dir, removed_since(offset, dir))
    return true
end

local function check_all()
    disks.check_out()
    for _, dir in ipairs(dirs) do
        if not disks.out(dir, true) and not check(dir) then
            break
        end
    end
end

local function guard(premature)
    if premature or running then
        return
    end
    running = true
    local ok, err = pcall(check_all)
    running = false
    if not ok then
        ngx_log(ERR, "cachenode: disk guard failed: ", err)
    end
end


-- Starts the guard every interval seconds in this worker; opts as init()
-- took them, the_dirs the cache directories.
function _M.start(opts, the_dirs, interval)
    conf, dirs = opts, the_dirs
    local ok, err = ngx.timer.every(interval, guard)
    if not ok then
        return nil, "ngx.timer.every(" .. interval .. ") failed: " .. err
    end
    return true
end


return _M
