-- cachenode.config: the knobs of nginx.conf.in as init_by_lua hands them
-- over, each checked once at start: a table of settings, or nil and the
-- reason nginx then refuses to start with.

local names = require "cachenode.names"
local nets = require "cachenode.nets"
local signing = require "cachenode.signing"
local sys = require "cachenode.sys"

local floor = math.floor
local tonumber = tonumber
local tostring = tostring
local ipairs = ipairs
local find = string.find
local gmatch = string.gmatch
local gsub = string.gsub
local match = string.match
local concat = table.concat
local lower = string.lower


local _M = { _VERSION = "1.0" }

-- The most the guard's cachekit checkdisk takes for a threshold or a count.
local GUARD_MAX = 1000000000
-- Each whole-number knob: its name, least and most value (2^31 - 1 unless
-- given).
local NUMBERS = {
    { "fetch_max", 1, 100000 }, { "fetch_timeout", 0 }, { "fetch_idle_timeout", 0 },
    { "fetch_queue_timeout", 0 }, { "client_misses", 0 }, { "negative_ttl", 0 },
    { "guard_interval", 0 }, { "guard_min_free_gb", 1, GUARD_MAX },
    { "guard_max_files", 1, GUARD_MAX }, { "memo_size", 0 }, { "cache_dirs_min", 0 },
    -- A shorter prefix would make keys as long as an IPv4 address's
    -- (nginx.conf.in's $cachenode_client); the template takes whole bytes.
    { "client_ipv6_prefix", 32, 128 },
}
-- Each knob of a few words: its name, the words and the value each gives.
local ON_OFF = { "on", true, "off", false }
local WORDS = {
    { "drain", ON_OFF },
    { "cache_dirs_mounted", ON_OFF },
    { "cache_dirs_out", { "remap", "remap", "stream", "stream" } },
}
local UNITS = { [""] = 1, k = 1024, m = 1024 ^ 2, g = 1024 ^ 3 }


-- Bytes of a size as nginx writes one (512k, 4m, 1g), or nil.
local function size_of(text)
    local digits, unit = match(lower(text or ""), "^(%d+)([kmg]?)$")
    return digits and tonumber(digits) * UNITS[unit]
end

-- Why cors_origins is refused, or nil: *, off or a list of origins as a
-- browser sends them (RFC 6454): a scheme, "://", the host in lower case (a
-- name, or an IPv6 literal in brackets) and an optional port, nothing
-- behind. Another text would never equal an Origin.
local function check_origins(text)
    if text == "*" or text == "off" then
        return nil
    end
    for piece in gmatch(text or "", "[^|]+") do
        local host = match(piece, "^https?://(.+)$")
        host = host and gsub(host, ":%d+$", "")
        if not (host and (find(host, "^[%l%d%-%.]+$") or find(host, "^%[[%x:%.]+%]$"))) then
            return "\"" .. piece .. "\" is not an origin (scheme://host[:port] in lower case, "
                   .. "no path), nor is the knob * or off"
        end
    end
    return nil
end


-- The settings of opts (every knob a text): the numbers as numbers (the
-- guard's two as texts for its command line), drain and cache_dirs_mounted
-- as booleans, io_thread_min in bytes (false: off), the cache directories as
-- cache_dirs (the text) and dirs (the names), sites as names parses them,
-- purgers and scrapers as nets does, signing as cachenode.signing checks it
-- (nil when off); or nil and the reason.
function _M.load(opts)
    local conf = { spool_dir = opts.spool_dir, fetchwrap = opts.fetchwrap,
                   cachekit_cli = opts.cachekit_cli, cachekit_lib = opts.cachekit_lib }
    for _, knob in ipairs(WORDS) do
        local name, words = knob[1], knob[2]
        local list = {}
        for i = 1, #words, 2 do
            if opts[name] == words[i] then
                conf[name] = words[i + 1]
            end
            list[#list + 1] = words[i]
        end
        if conf[name] == nil then
            return nil, name .. " must be " .. concat(list, " or ") .. ", not \""
                        .. tostring(opts[name]) .. "\""
        end
    end
    conf.io_thread_min = opts.io_thread_min ~= "off" and size_of(opts.io_thread_min)
    if conf.io_thread_min == nil then
        return nil, "io_thread_min must be a size (bytes, or with k, m or g) or off, not \""
                    .. tostring(opts.io_thread_min) .. "\""
    end
    for _, knob in ipairs(NUMBERS) do
        local name, min, max = knob[1], knob[2], knob[3] or 2 ^ 31 - 1
        local value = tonumber(opts[name])
        if not value or value < min or value > max or value ~= floor(value) then
            return nil, name .. " must be a whole number from " .. min .. " to " .. max
                        .. ", not \"" .. tostring(opts[name]) .. "\""
        end
        conf[name] = value
    end
    conf.guard_min_free_gb = tostring(conf.guard_min_free_gb)
    conf.guard_max_files = tostring(conf.guard_max_files)

    local text = opts.cache_dirs or ""
    if #text >= names.DIRS_TEXT_MAX then
        return nil, "cache_dirs is " .. #text .. " bytes, the library takes fewer than "
                    .. names.DIRS_TEXT_MAX
    end
    conf.cache_dirs, conf.dirs = text, names.split_dirs(text)
    if #conf.dirs == 0 then
        return nil, "cache_dirs names no directory"
    end
    for _, name in ipairs(conf.dirs) do
        local why = names.check_dir(name)
        if why then
            return nil, "cache directory \"" .. name .. "\" " .. why
        end
    end
    if conf.cache_dirs_min > #conf.dirs then
        return nil, "cache_dirs_min is " .. conf.cache_dirs_min .. ", beyond the " .. #conf.dirs
                    .. " cache directories"
    end
    local why
    conf.sites, why = names.parse_hosts(opts.hosts)
    if not conf.sites then
        return nil, "hosts " .. why
    end
    conf.purgers, why = nets.parse(opts.purge_allow)
    if not conf.purgers then
        return nil, "purge_allow " .. why
    end
    conf.scrapers, why = nets.parse(opts.metrics_allow)
    if not conf.scrapers then
        return nil, "metrics_allow " .. why
    end
    why = check_origins(opts.cors_origins)
    if why then
        return nil, "cors_origins " .. why
    end
    conf.signing, why = signing.config(opts, opts.hosts)
    if conf.signing == false then
        return nil, why
    end
    -- A browser sends a page's cookies (credentials) only to an answer that
    -- names that page, never to *: the renewal cookie would not come back.
    if conf.signing and opts.cors_origins == "*" then
        return nil, "cors_origins is *, and with uri_signing a player's cookie goes only to an "
                    .. "answer that names its page's origin: list the players' origins (or off)"
    end
    why = names.check_dir(opts.spool_dir or "")
    if why or sys.stat(opts.spool_dir) ~= "dir" then
        return nil, "spool_dir \"" .. tostring(opts.spool_dir) .. "\" " .. (why or "is not a directory")
    end
    return conf
end


return _M
