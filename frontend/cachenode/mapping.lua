-- cachenode.mapping: the cache file of a URL, as map() asks for every
-- request and the miss handler and a purge ask again: libcachekit's uri2d
-- over the cache directories that are up (cachenode.disks), kept in each
-- worker's memo together with how nginx reads it. A file of io_thread_min
-- bytes or more is read by the thread pool: its entry is "/" and the file,
-- which map() makes the request's URI (nginx.conf.in's location //).

local ffi = require "ffi"
local lrucache = require "resty.lrucache.pureffi"
local disks = require "cachenode.disks"
local names = require "cachenode.names"
local sys = require "cachenode.sys"

local ffi_new = ffi.new
local ffi_string = ffi.string
local ngx_var = ngx.var
local byte = string.byte
local sub = string.sub
local tostring = tostring
local ipairs = ipairs


local _M = { _VERSION = "1.0" }

-- An entry whose file is not there yet (a miss) is looked up again after
-- this long, so that its size is known once its download has ended.
local MISSING_SECONDS = 1

local lib           -- libcachekit, as cachenode.lua loaded it
local conf          -- cache_dirs, cache_dirs_out, io_thread_min
local dirs          -- every cache directory
local sites         -- the hosts knob, as names.parse_hosts() gives it
-- Per-worker URL text -> entry, or nil. The pure FFI cache: resty.lrucache's
-- own rehashes its key tables on every set that evicts when its size is a
-- power of two (some 0.4 ms a new URL at 16384 entries against 0.1 us;
-- bench/memo_lru.lua), and a missing file's entry, which lives a second,
-- makes such sets often.
local memo
-- The directories uri2d maps over with cache_dirs_out remap: those up, as
-- this worker last saw.
local over
local path_buf = ffi_new("char[?]", names.PATH_MAX_BYTES)


-- In init, with the knobs and the loaded library. Returns true, or nil and
-- the reason.
function _M.init(the_conf, the_lib)
    conf, lib, dirs, sites = the_conf, the_lib, the_conf.dirs, the_conf.sites
    over = conf.cache_dirs
    if conf.memo_size > 0 then
        local err
        memo, err = lrucache.new(conf.memo_size)
        if not memo then
            return nil, "lrucache.new(" .. conf.memo_size .. ") failed: " .. tostring(err)
        end
    end
    return true
end

-- The directories up changed (cachenode.disks): every entry may be wrong.
function _M.set_live(text)
    over = text
    if memo then
        memo:flush_all()
    end
end


-- What the request for URL text (host and path, without the query, in its
-- one spelling: names.normalize) of host names: its cache file; or nil and
-- the status the request gets ("spool" when the cache cannot hold the URL
-- whole, or none of its directories may) with the reason.
local function resolve(text, host)
    local status, why = names.refuse(text, host, sites)
    if status then
        return nil, status, why
    end
    local stream = conf.cache_dirs_out == "stream"
    local list = stream and conf.cache_dirs or over
    if list == "" then
        return nil, "spool", "no cache directory is up"
    end
    lib.uri2d(path_buf, text, list)
    local file = ffi_string(path_buf)
    local dir_len, whole = names.dir_of(file, text, host, dirs)
    if not dir_len then
        return nil, 400, "uri2d gave \"" .. file .. "\", not a piece of the URL below a cache directory"
    end
    if not whole then
        return nil, "spool", "uri2d keeps it as \"" .. file .. "\""
    end
    if stream and disks.out(sub(file, 1, dir_len)) then
        return nil, "spool", "its cache directory " .. sub(file, 1, dir_len) .. " is out"
    end
    return file
end

-- The memo's entry for file, and how long it holds (nil: for good).
local function entry(file)
    local least = conf.io_thread_min
    if not least then
        return file
    end
    local kind, size = sys.stat(file)
    if kind ~= "file" then
        return file, MISSING_SECONDS
    end
    if size >= least then
        return "/" .. file
    end
    return file
end


-- The entry of the request's URL text as it came (raw; text: the same
-- normalised, when the caller has it): its cache file, or "/" and the file
-- when the pool reads it; from the memo or resolve() (which the memo then
-- keeps); or nil, the status and the reason.
function _M.entry_of(raw, text)
    local found = memo and memo:get(raw)
    if found then
        return found
    end
    local file, status, why = resolve(text or names.normalize(raw), ngx_var.host)
    if not file then
        return nil, status, why
    end
    local ttl
    found, ttl = entry(file)
    if memo then
        memo:set(raw, found, ttl)
    end
    return found
end

-- Every place a file of URL text may be: the same path below each cache
-- directory, as a directory out moves its URLs to others, and one that
-- comes back finds its own again (a purge's). Empty for a URL the cache
-- cannot hold whole, whose path is another URL's file.
function _M.places_of(text)
    lib.uri2d(path_buf, text, conf.cache_dirs)
    local file = ffi_string(path_buf)
    local dir_len, whole = names.dir_of(file, text, ngx_var.host, dirs)
    local places = {}
    if dir_len and whole then
        local rest = sub(file, dir_len + 1)
        for i, dir in ipairs(dirs) do
            places[i] = dir .. rest
        end
    end
    return places
end

-- The cache file of an entry.
function _M.file(found)
    return byte(found, 2) == 47 and sub(found, 2) or found
end

-- The cache file of the request's URL text, as entry_of() gives it.
function _M.file_of(raw, text)
    local found, status, why = _M.entry_of(raw, text)
    if not found then
        return nil, status, why
    end
    return _M.file(found)
end


return _M
