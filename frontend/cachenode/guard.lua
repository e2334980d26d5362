-- cachenode.guard: the disk guard. A timer of worker 0 runs checkdisk for
-- each cache directory in turn, each in a process of its own (the cachekit
-- program), so that no worker waits on a walk or a shell. checkdisk asks the
-- front end's notification location before each removal.

local child = require "cachenode.child"

local ngx = ngx
local ngx_log = ngx.log
local ERR = ngx.ERR
local ipairs = ipairs


local _M = { _VERSION = "1.0" }

local conf          -- cachekit_cli, cachekit_lib, guard_min_free_gb, guard_max_files
local dirs
local running = false


local function guard(premature)
    if premature or running then
        return
    end
    running = true
    for _, dir in ipairs(dirs) do
        local pid, err = child.spawn({ conf.cachekit_cli, "--lib", conf.cachekit_lib, "checkdisk", dir,
                                       "--min-free", conf.guard_min_free_gb,
                                       "--max-files", conf.guard_max_files, "--yes" })
        if not pid then
            ngx_log(ERR, "cachenode: posix_spawn() \"", conf.cachekit_cli, "\" failed: ", err)
            break
        end
        local code
        code, err = child.wait(pid, nil)
        if code ~= 0 then
            ngx_log(ERR, "cachenode: checkdisk \"", dir, "\": ",
                    code and ("exit status " .. code) or err)
        end
    end
    running = false
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
