-- cachenode.ipnet: IPv4 and IPv6 addresses and networks as the signed URLs'
-- cdniip claim names them (CIDR notation, RFC 4632 and RFC 4291 2.3), read
-- by glibc's inet_pton through the FFI. An IPv4-mapped IPv6 address
-- (::ffff:192.0.2.7) is the IPv4 address it maps, so that a claim and a
-- client meet whichever form a listener gives.

local ffi = require "ffi"

local C = ffi.C
local ffi_new = ffi.new
local ffi_string = ffi.string
local find = string.find
local sub = string.sub
local byte = string.byte
local match = string.match
local floor = math.floor
local tonumber = tonumber
local tostring = tostring


local _M = { _VERSION = "1.0" }

-- <sys/socket.h>
_M.AF_INET = 2
_M.AF_INET6 = 10

ffi.cdef[[
int inet_pton(int af, const char *src, void *dst);
]]

local buf = ffi_new("unsigned char[16]")
local MAPPED = "\0\0\0\0\0\0\0\0\0\0\255\255"


-- The bytes of the address text (4 or 16; a mapped IPv6 address gives its
-- 4), or nil.
function _M.address(text)
    if not text or #text > 45 then
        return nil
    end
    if C.inet_pton(_M.AF_INET, text, buf) == 1 then
        return ffi_string(buf, 4)
    end
    if not find(text, ":", 1, true) or C.inet_pton(_M.AF_INET6, text, buf) ~= 1 then
        return nil
    end
    local bytes = ffi_string(buf, 16)
    if sub(bytes, 1, 12) == MAPPED then
        return sub(bytes, 13)
    end
    return bytes
end


-- The network of text ("192.0.2.0/24", "2001:db8::/32", or one address): a
-- table for contains(), or nil and the reason. Bits past the prefix must be
-- zero, as in a route: "192.0.2.1/24" names no network.
function _M.parse(text)
    local addr, bits = match(text or "", "^([^/]+)/(%d+)$")
    addr = addr or text
    local bytes = _M.address(addr)
    if not bytes then
        return nil, "\"" .. tostring(text) .. "\" is not an IP address or network"
    end
    local width = #bytes * 8
    bits = tonumber(bits) or width
    -- A mapped IPv6 network is the IPv4 network it maps.
    if #bytes == 4 and find(addr, ":", 1, true) then
        if bits < 96 then
            return nil, "\"" .. text .. "\" spans more than the IPv4-mapped addresses"
        end
        bits = bits - 96
    end
    if bits > width then
        return nil, "\"" .. text .. "\" has a prefix longer than its address"
    end
    local whole, rest = floor(bits / 8), bits % 8
    for i = whole + 1, #bytes do
        local b = byte(bytes, i)
        if i == whole + 1 and rest > 0 then
            b = b % 2 ^ (8 - rest)
        end
        if b ~= 0 then
            return nil, "\"" .. text .. "\" has bits set past its prefix"
        end
    end
    return { bytes = bytes, whole = whole, rest = rest }
end


-- Whether the address of text (the client's, as nginx gives it) lies in net.
function _M.contains(net, text)
    local bytes = _M.address(text)
    if not bytes or #bytes ~= #net.bytes then
        return false
    end
    if sub(bytes, 1, net.whole) ~= sub(net.bytes, 1, net.whole) then
        return false
    end
    if net.rest == 0 then
        return true
    end
    local unit = 2 ^ (8 - net.rest)
    local i = net.whole + 1
    return floor(byte(bytes, i) / unit) == floor(byte(net.bytes, i) / unit)
end


return _M
