-- cachenode.nets: IPv4 and IPv6 networks (CIDR notation, RFC 4632 and RFC
-- 4291 2.3) and whether a client's address is in one: the address knobs'
-- lists (metrics_allow, purge_allow) and a signed URL's cdniip. A client is
-- compared as nginx's $binary_remote_addr gives it, 4 bytes for IPv4 and 16
-- for IPv6. An IPv4-mapped address (::ffff:a.b.c.d, the IPv4 client of a
-- dual-stack listen) is the IPv4 address it maps, in a network's text as in
-- a client, so that the two meet whichever form a listener gives. Pure but
-- for the parsing of address texts (glibc's inet_pton, cachenode.sys).

local bit = require "bit"
local sys = require "cachenode.sys"

local band = bit.band
local lshift = bit.lshift
local byte = string.byte
local find = string.find
local gmatch = string.gmatch
local match = string.match
local sub = string.sub
local floor = math.floor
local tonumber = tonumber
local tostring = tostring
local ipairs = ipairs
local inet_pton = sys.inet_pton


local _M = { _VERSION = "2.0" }

local MAPPED = "\0\0\0\0\0\0\0\0\0\0\255\255"
-- The longest IPv6 text (RFC 4291 2.2's third form, all eight groups in
-- front of a dotted IPv4 address).
local TEXT_MAX = 45


-- The bytes of addr as a network compares them: an IPv4-mapped IPv6
-- address's 4, else addr.
local function unmapped(addr)
    if #addr == 16 and sub(addr, 1, 12) == MAPPED then
        return sub(addr, 13)
    end
    return addr
end

-- The bytes of an address text (4, or 16; a mapped IPv6 address gives its
-- 4), or nil.
function _M.address(text)
    if not text or #text > TEXT_MAX then
        return nil
    end
    local addr = inet_pton(text)
    return addr and unmapped(addr)
end


-- The network of text ("192.0.2.0/24", "2001:db8::/32", or one address): a
-- table for contains(), or nil and the reason. Bits set past the prefix
-- name no network, as in a route ("192.0.2.1/24"): a token's claim so
-- written is refused, where guessing would widen what it admits; with
-- loose they are cleared, as nginx's allow does for an operator's knob.
function _M.network(text, loose)
    local addr, bits = match(text or "", "^([^/]+)/(%d+)$")
    addr = addr or text
    local bytes = _M.address(addr)
    if not bytes then
        return nil, "\"" .. tostring(text) .. "\" is not an IPv4 or IPv6 address or network"
    end
    local width = #bytes * 8
    bits = tonumber(bits)
    -- A mapped IPv6 network is the IPv4 network it maps; one mapped address
    -- without a prefix is its IPv4 address.
    if width == 32 and find(addr, ":", 1, true) then
        bits = bits or 128
        if bits < 96 then
            return nil, "\"" .. text .. "\" spans more than the IPv4-mapped addresses"
        end
        bits = bits - 96
    end
    bits = bits or width
    if bits > width then
        return nil, "\"" .. text .. "\" has a prefix longer than its address"
    end
    local whole, rest = floor(bits / 8), bits % 8
    local mask = rest > 0 and band(lshift(0xff, 8 - rest), 0xff) or 0
    local last = rest > 0 and band(byte(bytes, whole + 1), mask) or 0
    for i = whole + 1, #bytes do
        local b = byte(bytes, i)
        if (i == whole + 1 and b ~= last) or (i > whole + 1 and b ~= 0) then
            if not loose then
                return nil, "\"" .. text .. "\" has bits set past its prefix"
            end
            break
        end
    end
    return { len = #bytes, head = sub(bytes, 1, whole), whole = whole, mask = mask, last = last }
end


-- Whether addr (4 or 16 bytes, as $binary_remote_addr; mapped or not) lies
-- in net.
function _M.contains(net, addr)
    if not addr then
        return false
    end
    addr = unmapped(addr)
    if #addr ~= net.len or sub(addr, 1, net.whole) ~= net.head then
        return false
    end
    return net.mask == 0 or band(byte(addr, net.whole + 1), net.mask) == net.last
end


-- The networks of an address knob ("192.0.2.7|198.51.100.0/24|2001:db8::/32"),
-- with 127.0.0.0/8 and ::1 always among them: a list for allowed(), or nil
-- and the reason.
function _M.parse(text)
    local nets = { _M.network("127.0.0.0/8"), _M.network("::1") }
    for piece in gmatch(text or "", "[^|]+") do
        local net, why = _M.network(piece, true)
        if not net then
            return nil, why
        end
        nets[#nets + 1] = net
    end
    return nets
end

-- Whether addr (as contains()) lies in one of the networks.
function _M.allowed(nets, addr)
    if not addr then
        return false
    end
    addr = unmapped(addr)
    for _, net in ipairs(nets) do
        if _M.contains(net, addr) then
            return true
        end
    end
    return false
end


return _M
