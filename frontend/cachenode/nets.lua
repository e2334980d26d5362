-- cachenode.nets: the address knobs (metrics_allow, purge_allow) as lists of
-- IPv4 and IPv6 networks, and whether a client's address is in one. An
-- address is compared as nginx's $binary_remote_addr gives it, 4 bytes for
-- IPv4 and 16 for IPv6; an IPv4-mapped one (::ffff:a.b.c.d, the IPv4
-- client of a dual-stack listen) is its IPv4 address. Pure but for the
-- parsing of address texts (glibc's inet_pton, cachenode.sys).

local bit = require "bit"
local sys = require "cachenode.sys"

local band = bit.band
local lshift = bit.lshift
local byte = string.byte
local char = string.char
local gmatch = string.gmatch
local match = string.match
local rep = string.rep
local sub = string.sub
local floor = math.floor
local tonumber = tonumber
local ipairs = ipairs


local _M = { _VERSION = "1.0" }

local MAPPED = rep("\0", 10) .. "\255\255"


-- The first bits bits of addr (a binary address), the others cleared.
local function masked(addr, bits)
    local whole, rest = floor(bits / 8), bits % 8
    local head = sub(addr, 1, whole)
    if rest > 0 then
        head = head .. char(band(byte(addr, whole + 1), lshift(0xff, 8 - rest)))
    end
    return head .. rep("\0", #addr - #head)
end

-- The network of a piece of a knob ("192.0.2.7", "2001:db8::/32"): { the
-- binary address with its host bits cleared, bits }; or nil.
local function network(piece)
    local text, bits = match(piece, "^([^/]+)/(%d+)$")
    local addr = sys.inet_pton(text or piece)
    if not addr then
        return nil
    end
    bits = tonumber(bits) or #addr * 8
    if bits > #addr * 8 then
        return nil
    end
    return { masked(addr, bits), bits }
end


-- The networks of an address knob ("192.0.2.7|198.51.100.0/24|2001:db8::/32"),
-- with 127.0.0.0/8 and ::1 always among them: a list for allowed(), or nil
-- and the reason.
function _M.parse(text)
    local nets = { network("127.0.0.0/8"), network("::1") }
    for piece in gmatch(text or "", "[^|]+") do
        local net = network(piece)
        if not net then
            return nil, "\"" .. piece .. "\" is not an IPv4 or IPv6 address or network"
        end
        nets[#nets + 1] = net
    end
    return nets
end

-- Whether addr (4 or 16 bytes, as $binary_remote_addr) lies in one of the
-- networks.
function _M.allowed(nets, addr)
    if not addr then
        return false
    end
    if #addr == 16 and sub(addr, 1, 12) == MAPPED then
        addr = sub(addr, 13)
    end
    for _, net in ipairs(nets) do
        if #net[1] == #addr and masked(addr, net[2]) == net[1] then
            return true
        end
    end
    return false
end


return _M
