-- cachenode.files: the directories and files around a cache file that a
-- download makes and removes. The cache directory itself is never made: a
-- missing disk is not recreated on the root file system.

local names = require "cachenode.names"
local sys = require "cachenode.sys"

local find = string.find
local sub = string.sub


local _M = { _VERSION = "1.0" }


local parent = names.parent


-- Makes the directories between the cache directory (its name dir_len bytes
-- long) and file. Returns true, or nil, the reason and the errno.
function _M.make_parents(file, dir_len)
    local pos = dir_len + 1
    while true do
        pos = find(file, "/", pos + 1, true)
        if not pos then
            return true
        end
        local dir = sub(file, 1, pos - 1)
        local ok, err, errno = sys.mkdir(dir)
        if not ok and errno ~= sys.EEXIST then
            return nil, "mkdir() \"" .. dir .. "\" failed: " .. err, errno
        end
    end
end


-- Removes the directories between the cache directory and file that are
-- empty, deepest first: a failed download leaves no directory behind.
function _M.remove_parents(file, dir_len)
    local dir = parent(file)
    while #dir > dir_len and sys.rmdir(dir) do
        dir = parent(dir)
    end
end


-- Removes the temporary files of file that downloads left when their worker
-- or the whole node died. Only the holder of file's claim may call it: the
-- claim says no other download of file runs.
function _M.remove_stale(file)
    local dir, base = parent(file)
    sys.each_entry(dir, function(name)
        if sub(name, 1, #base) == base and names.temp_file(name) == base then
            sys.unlink(dir .. "/" .. name)
        end
    end)
end


-- Whether the directory of path is gone: a failed download of another file
-- below it removed it as empty (remove_parents) between this download's
-- mkdir and its client's first write.
function _M.dir_gone(path)
    return sys.stat((parent(path))) ~= "dir"
end


return _M
