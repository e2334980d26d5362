-- cachenode.probe: whether a cache directory is a disk the node may use, as
-- the disk watch (cachenode.disks) asks: the directory is there, is the root
-- of a file system of its own when the node requires it, and takes a block
-- written to the disk. No ngx API: disk() runs in a thread of nginx's pool
-- (ngx.run_worker_thread), so that a disk that hangs holds no worker.

local names = require "cachenode.names"
local sys = require "cachenode.sys"

local parent = names.parent


local _M = { _VERSION = "1.0" }


-- Why dir, on device dev, may not be used when it must be the root of a
-- file system of its own, or nil.
local function not_mounted(dir, dev)
    local above = (parent(dir))
    local kind, why, above_dev = sys.stat(above)
    if not kind then
        return "stat() \"" .. above .. "\" failed: " .. why
    end
    if above_dev == dev then
        return "it is not a mounted file system (cache_dirs_mounted=on): the same device as " .. above
    end
    return nil
end

-- The device of the file system that dir is on, or nil and why the node may
-- not use it. mounted: dir must be the root of a file system of its own
-- (another device than its parent's), so that a disk that is not mounted,
-- whose mount point is a plain directory of the file system above, is never
-- written to.
function _M.mount(dir, mounted)
    local kind, why, dev = sys.stat(dir)
    if not kind then
        -- On failure: nil, the reason and errno.
        return nil, dev == sys.ENOENT and "it is not there" or "stat() failed: " .. why
    end
    if kind ~= "dir" then
        return nil, "it is not a directory"
    end
    why = mounted and not_mounted(dir, dev)
    if why then
        return nil, why
    end
    return dev
end

-- As mount(), with a block written to the disk and removed again under
-- name, a file of dir that no request maps to: the device, or nil and why.
-- The directory is opened first and the block written where that
-- descriptor leads, so that the check never writes to another file system
-- mounted or unmounted at dir's path meanwhile.
function _M.disk(dir, mounted, name)
    local fd, err, errno = sys.open_dir(dir)
    if not fd then
        return nil, errno == sys.ENOENT and "it is not there" or "open() failed: " .. err
    end
    local dev
    dev, err = sys.fd_id(fd)
    local why = not dev and "fstat() failed: " .. err or mounted and not_mounted(dir, dev)
    if not why then
        local ok
        ok, err = sys.probe_write(fd, name)
        why = not ok and "it takes no write: " .. err
    end
    sys.close(fd)
    if why then
        return nil, why
    end
    return dev
end


return _M
