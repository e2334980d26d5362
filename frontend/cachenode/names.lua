-- cachenode.names: what the front end accepts as a cache directory, a site
-- and a request, the check that a path uri2d gave stays inside its directory,
-- the names of downloads in progress and the extensions nginx seeks in.
-- Pure functions of texts.

local find = string.find
local sub = string.sub
local gsub = string.gsub
local gmatch = string.gmatch
local byte = string.byte
local next = next
local char = string.char
local lower = string.lower
local upper = string.upper
local tonumber = tonumber
local ipairs = ipairs


local _M = { _VERSION = "1.0" }


-- Limits of uri2d: the URL without "http://" is shorter than URL_TEXT_MAX, the
-- directory list shorter than DIRS_TEXT_MAX, a name at most DIR_NAME_MAX
-- bytes; the result never exceeds PATH_MAX_BYTES.
_M.URL_TEXT_MAX = 1024
_M.DIR_NAME_MAX = 1019
_M.DIRS_TEXT_MAX = 10240
_M.PATH_MAX_BYTES = 3067
local URL_TEXT_MAX = _M.URL_TEXT_MAX
local DIR_NAME_MAX = _M.DIR_NAME_MAX

-- A download in progress writes "<cache file>.cn-<worker pid>-<n>.part". uri2d
-- cuts a last piece behind the letters and digits of its first extension, so
-- no request maps to such a name: it is never served, and the guard's
-- notification can tell it from a cache file.
local TEMP_TAG = ".cn-"
local TEMP_PATTERN = "%.cn%-%d+%-%d+%.part$"

-- Bytes an nginx knob may hold when it reaches Lua (nginx.conf.in refuses the
-- rest); a cache directory name holds only these too.
local NAME_PATTERN = "^[%w/%._:|,+=@%%%-]+$"

-- Bytes a request target may hold (RFC 3986: unreserved, sub-delims, ':',
-- '@', '/', '?' and percent escapes). Anything else, NUL and blanks included,
-- is refused before it can reach a file name or a command line.
local TARGET_BAD = "[^%w%-%._~!%$&'%(%)%*%+,;=:@/%%%?]"


-- The names of a directory list as uri2d reads it: runs of '|' separate
-- names, blanks directly behind a separator are dropped.
function _M.split_dirs(text)
    local names = {}
    for piece in gmatch(text, "[^|]+") do
        piece = gsub(piece, "^ +", "")
        if piece ~= "" then
            names[#names + 1] = piece
        end
    end
    return names
end


-- Why a cache directory name is refused, or nil. Each name must be absolute
-- and canonical (no empty, "." or ".." piece, no trailing '/'), so that every
-- cache path is the text checkdisk's walk gives for the same file.
function _M.check_dir(name)
    if #name > DIR_NAME_MAX or not find(name, NAME_PATTERN) then
        return "holds a byte outside letters, digits and / . _ : , + = @ % - or is too long"
    end
    if byte(name, 1) ~= 47 or #name < 2 or byte(name, -1) == 47 then
        return "must be absolute and must not end in '/'"
    end
    if find(name, "//", 1, true) then
        return "must not hold an empty piece"
    end
    for piece in gmatch(name, "[^/]+") do
        if piece == "." or piece == ".." then
            return "must not hold a '.' or '..' piece"
        end
    end
    return nil
end


-- Why the pieces of a path text ("a/b/c") are refused, or nil: an empty, "."
-- or ".." piece, a malformed percent escape, or one decoding to NUL or to a
-- "." or ".." piece (the raw text lands on disk; the origin decodes it).
local function bad_segments(text)
    for piece in gmatch(text, "[^/]*") do
        -- gmatch yields an empty match behind each '/'; a real empty piece
        -- shows up as "//" below.
        if piece == "." or piece == ".." then
            return "a '.' or '..' piece"
        end
        if find(piece, "%", 1, true) then
            if find((gsub(piece, "%%%x%x", "")), "%", 1, true) then
                return "a malformed percent escape"
            end
            local decoded = gsub(piece, "%%(%x%x)", function(hex)
                return char(tonumber(hex, 16))
            end)
            if decoded == "." or decoded == ".." then
                return "an encoded '.' or '..' piece"
            end
            if find(decoded, "\0", 1, true) then
                return "an encoded NUL"
            end
        end
    end
    if find(text, "//", 1, true) or byte(text, -1) == 47 or byte(text, 1) == 47 then
        return "an empty piece"
    end
    return nil
end


-- The one spelling of a URL text (RFC 3986, 6.2.2): a percent escape of an
-- unreserved character (letters, digits, - . _ ~) becomes the character, the
-- hex digits of any other escape upper case. Escapes of reserved characters
-- (%2F, %3F, ...) keep their meaning; a malformed escape stays as it is, for
-- refuse() to find.
local function one_spelling(hex)
    local c = char(tonumber(hex, 16))
    if find(c, "^[%w%-%._~]$") then
        return c
    end
    return "%" .. upper(hex)
end

function _M.normalize(text)
    if not find(text, "%", 1, true) then
        return text
    end
    return (gsub(text, "%%(%x%x)", one_spelling))
end


-- Why a request for a URL text (host and the request's path, without
-- "http://" and without the query, which never reaches uri2d or a download)
-- of host is refused before it reaches uri2d: the status (400, or 421 for a
-- host not among sites) and the reason; nil when it is not.
function _M.refuse(text, host, sites)
    if #text >= URL_TEXT_MAX then
        return 400, "the URL is " .. #text .. " bytes, the library takes fewer than " .. URL_TEXT_MAX
    end
    if host == "" or find(host, "[^%w%-%._]") or find(host, "^%.") or find(host, "%.%.") then
        return 400, "a bad host name"
    end
    if not _M.host_allowed(sites, host) then
        return 421, "not one of the hosts"
    end
    if find(text, TARGET_BAD) or find(text, "?", 1, true) then
        return 400, "a byte outside the URL characters"
    end
    local path = sub(text, #host + 2)
    local why = bad_segments(path)
    if why then
        return 400, why
    end
    if not find(path, "%.[^/]*$") then
        return 400, "no '.' in the last piece of the path"
    end
    return nil
end


-- The extensions of the files nginx seeks in (?start= and ?end=, its mp4 and
-- flv modules), each with the named location that serves such a file once
-- its download has ended; nginx.conf.in has a HIT location and that named
-- location for each.
local SEEKABLE = { [".mp4"] = "@cached_mp4", [".flv"] = "@cached_flv" }

-- Whether nginx seeks in the file of uri (the request's path).
function _M.seekable(uri)
    return SEEKABLE[lower(sub(uri, -4))] ~= nil
end

-- The named location that serves the finished file of uri.
function _M.cached_location(uri)
    return SEEKABLE[lower(sub(uri, -4))] or "@cached"
end


-- The sites of a hosts knob ("a.example|.b.example"): a table for
-- host_allowed(), or nil and the reason. A leading '.' also takes every
-- subdomain, as nginx's server_name does; an IP literal is refused, so that
-- a download always goes to a named site.
function _M.parse_hosts(text)
    local sites = { exact = {}, suffixes = {} }
    for piece in gmatch(text or "", "[^|]+") do
        local name = lower(piece)
        local bare = sub(name, 1, 1) == "." and sub(name, 2) or name
        if bare == "" or find(bare, "[^%w%-%.]") or find(bare, "^%.") or find(bare, "%.%.")
           or find(bare, "%.$") then
            return nil, "\"" .. piece .. "\" is not a host name"
        end
        if find(bare, "^[%d%.]+$") then
            return nil, "\"" .. piece .. "\" is an IP address, not a site's name"
        end
        sites.exact[bare] = true
        if bare ~= name then
            sites.suffixes[#sites.suffixes + 1] = name
        end
    end
    if not next(sites.exact) then
        return nil, "names no host"
    end
    return sites
end


-- Whether host (as nginx's $host gives it: lowercase, without a port) is one
-- of the sites.
function _M.host_allowed(sites, host)
    if sites.exact[host] then
        return true
    end
    if find(host, "^[%d%.]+$") then
        return false
    end
    for _, suffix in ipairs(sites.suffixes) do
        if #host > #suffix and sub(host, -#suffix) == suffix then
            return true
        end
    end
    return false
end


-- The temporary name of the n-th download of worker pid for cache file.
function _M.temp_name(file, pid, n)
    return file .. TEMP_TAG .. pid .. "-" .. n .. ".part"
end

-- The cache file that a temporary name stands for, or nil.
function _M.temp_file(name)
    local at = find(name, TEMP_PATTERN)
    return at and sub(name, 1, at - 1)
end

-- The length of the cache directory that file (uri2d's answer for text)
-- lies in and whether uri2d kept text whole, or nil. The file must be the
-- directory, '/' and a piece of the URL text from its start: uri2d cuts
-- behind the letters and digits of the first extension (a.b.mp4 is kept as
-- a.b, which another URL owns), and a ':' in the path cuts the text there and
-- repeats a piece, which would give different URLs one file.
function _M.dir_of(file, text, host, dirs)
    for _, dir in ipairs(dirs) do
        local n = #dir
        if sub(file, 1, n + 1) == dir .. "/" then
            local rest = sub(file, n + 2)
            if #rest <= #text and sub(text, 1, #rest) == rest
               and #rest > #host + 1 and not bad_segments(rest)
            then
                return n, #rest == #text
            end
        end
    end
    return nil
end


-- The directory above path ("/" for "/a") and the name in it.
function _M.parent(path)
    local at = find(path, "/[^/]*$")
    return at > 1 and sub(path, 1, at - 1) or "/", sub(path, at + 1)
end


-- The length of the cache directory of dirs that holds file, or nil.
function _M.dir_len(file, dirs)
    for _, dir in ipairs(dirs) do
        if sub(file, 1, #dir + 1) == dir .. "/" then
            return #dir
        end
    end
    return nil
end


return _M
