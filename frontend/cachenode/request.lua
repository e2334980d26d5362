-- cachenode.request: the request's URL text ($cachenode_url, $host and the
-- path and query as sent) read where nginx holds it, through lua-resty-core's
-- FFI, so that only its pieces become Lua strings: the text without the
-- query, which the memo keeps anyway, and a query parameter's value (a
-- signed URL's token, which the memory of tokens keeps). A long query made
-- whole into a string costs a HIT its copy, its hash and its share of the
-- garbage collector on every request.

local ffi = require "ffi"
local base = require "resty.core.base"
require "resty.core.var"    -- declares ngx_http_lua_ffi_var_get
require "cachenode.sys"     -- declares memchr and memcmp

local C = ffi.C
local ffi_new = ffi.new
local ffi_cast = ffi.cast
local ffi_string = ffi.string
local gmatch = string.gmatch
local sub = string.sub
local concat = table.concat
local tonumber = tonumber
local get_request = base.get_request
local get_size_ptr = base.get_size_ptr


local _M = { _VERSION = "1.0" }

local URL = "cachenode_url"
local QUESTION, AMPERSAND = 63, 38

local BYTES = ffi.typeof("const unsigned char *")
local lowcase = ffi_new("unsigned char[?]", #URL)    -- the longest name read
local value = ffi_new("unsigned char *[1]")
local errmsg = base.get_errmsg_ptr()
-- The bytes of the URL last read by url(): nginx's, in the request's pool,
-- valid until the request ends; read only within the handler that read it.
local bytes, count, mark


-- The offset of the first byte c of the n at p, or nil.
local function memchr(p, c, n)
    local at = C.memchr(p, c, n)
    return at ~= nil and tonumber(ffi_cast(BYTES, at) - p) or nil
end


-- The bytes of the request's variable name and their count, or nil.
local function var_bytes(name)
    local r, len = get_request(), get_size_ptr()
    if not r or C.ngx_http_lua_ffi_var_get(r, name, #name, lowcase, 0, value, len, errmsg) ~= 0 then
        return nil
    end
    return value[0], tonumber(len[0])
end


-- The URL text of the request without the query (host and path as sent),
-- or nil when nginx has no $cachenode_url; param() then reads its query.
function _M.url()
    bytes, count = var_bytes(URL)
    if not bytes then
        return nil
    end
    mark = memchr(bytes, QUESTION, count)
    return ffi_string(bytes, mark or count)
end

-- The request's scheme, "http" or "https" ($scheme, one of the two), as a
-- string that exists already.
function _M.scheme()
    local _, n = var_bytes("scheme")
    return n and (n == 5 and "https" or "http")
end


-- The value of the parameter whose name and "=" are prefix in the query of
-- the URL url() read, the query without it, and how many times it came (a
-- value nil, query "" and 0 without a query).
function _M.param(prefix)
    if not bytes or not mark then
        return nil, "", 0
    end
    -- The usual signed query: the parameter alone, its value cut once.
    local at, plen = mark + 1, #prefix
    if count - at >= plen and C.memcmp(bytes + at, prefix, plen) == 0
       and not memchr(bytes + at + plen, AMPERSAND, count - at - plen) then
        return ffi_string(bytes + at + plen, count - at - plen), "", 1
    end
    local found, times, rest = nil, 0, {}
    for piece in gmatch(ffi_string(bytes + at, count - at), "[^&]*") do
        if sub(piece, 1, plen) == prefix then
            found, times = sub(piece, plen + 1), times + 1
        elseif piece ~= "" then
            rest[#rest + 1] = piece
        end
    end
    return found, concat(rest, "&"), times
end


return _M
