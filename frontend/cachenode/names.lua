-- cachenode.names: what the front end accepts as a cache directory and as a
-- request, and the check that a path uri2d gave stays inside its directory.
-- Pure functions of texts.

local find = string.find
local sub = string.sub
local gsub = string.gsub
local gmatch = string.gmatch
local byte = string.byte
local char = string.char
local tonumber = tonumber
local ipairs = ipairs


local _M = { _VERSION = "1.0" }


-- Limits of uri2d: the URL without "http://" is shorter than URL_TEXT_MAX, the
-- directory list shorter than DIRS_TEXT_MAX, a name at most DIR_NAME_MAX
-- bytes; the result never exceeds PATH_MAX_BYTES.
local URL_TEXT_MAX = 1024
local DIR_NAME_MAX = 1019
_M.DIRS_TEXT_MAX = 10240
_M.PATH_MAX_BYTES = 3067

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


-- Why a URL text (host and request target, without "http://") is refused
-- before it reaches uri2d, or nil.
function _M.refuse_target(text, host)
    if #text >= URL_TEXT_MAX then
        return "the URL is " .. #text .. " bytes, the library takes fewer than " .. URL_TEXT_MAX
    end
    if find(text, TARGET_BAD) then
        return "a byte outside the URL characters"
    end
    if host == "" or find(host, "[^%w%-%._]") or find(host, "^%.") or find(host, "%.%.") then
        return "a bad host name"
    end
    local path_end = find(text, "?", 1, true)
    local path = sub(text, #host + 2, path_end and path_end - 1 or #text)
    local why = bad_segments(path)
    if why then
        return why
    end
    if path_end and find(sub(text, path_end), "%%00") then
        return "an encoded NUL"
    end
    if not find(path, "%.[^/]*$") then
        return "no '.' in the last piece of the path"
    end
    return nil
end


-- The length of the cache directory that file (uri2d's answer for text)
-- lies in, or nil. The file must be the directory, '/' and a piece of the
-- URL text from its start: uri2d only cuts behind the extension, except that
-- a ':' in the path cuts the text there and repeats a piece, which would give
-- different URLs one file.
function _M.dir_of(file, text, host, dirs)
    for _, dir in ipairs(dirs) do
        local n = #dir
        if sub(file, 1, n + 1) == dir .. "/" then
            local rest = sub(file, n + 2)
            if #rest <= #text and sub(text, 1, #rest) == rest
               and #rest > #host + 1 and not bad_segments(rest)
            then
                return n
            end
        end
    end
    return nil
end


return _M
