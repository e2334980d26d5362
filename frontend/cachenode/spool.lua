-- cachenode.spool: the life of a spool file. A URL that the cache cannot hold
-- whole (a.b.mp4, which uri2d keeps as a.b) is downloaded for its one viewer
-- into "<spool_dir>/<worker pid>-<n>.part", outside the cache directories.
-- The file goes when its answer has been sent, when the answer ends without
-- it, or, if its worker died first, at the next sweep.

local sys = require "cachenode.sys"

local ngx = ngx
local ngx_log = ngx.log
local ERR = ngx.ERR
local sub = string.sub
local match = string.match
local tonumber = tonumber


local _M = { _VERSION = "1.0" }

local dir           -- spool_dir
local prefix        -- dir .. "/"
local wpid
local seq = 0       -- this worker's spool files so far


-- The spool file name of the n-th uncached download of worker pid in dir,
-- and the worker pid of such a name (nil for any other).
function _M.name(spool_dir, pid, n)
    return spool_dir .. "/" .. pid .. "-" .. n .. ".part"
end

function _M.owner(name)
    return tonumber((match(name, "^(%d+)%-%d+%.part$")))
end


function _M.init(spool_dir)
    dir, prefix = spool_dir, spool_dir .. "/"
end

function _M.init_worker()
    wpid = ngx.worker.pid()
end


-- A new spool file name of this worker.
function _M.new()
    seq = seq + 1
    return _M.name(dir, wpid, seq)
end

-- Whether path is a spool file.
function _M.holds(path)
    return sub(path, 1, #prefix) == prefix
end

-- Removes the spool file path once its answer no longer needs it.
function _M.done(path)
    sys.unlink(path)
end


-- For a timer of one worker: the spool files of dead workers go (a live
-- worker removes its own).
function _M.sweep()
    local ok, err = sys.each_entry(dir, function(name)
        local owner = _M.owner(name)
        if owner and not sys.alive(owner) then
            sys.unlink(prefix .. name)
        end
    end)
    if not ok then
        ngx_log(ERR, "cachenode: opendir() \"", dir, "\" failed: ", err)
    end
end


return _M
