-- cachenode.nets: the networks of an address knob and the addresses they
-- take in, as nginx's $binary_remote_addr gives them (inet_pton here).
local t = require "harness"
local nets = require "cachenode.nets"
local sys = require "cachenode.sys"

local list = assert(nets.parse("192.0.2.7|198.51.100.0/24|2001:db8:7::/48|2001:db8:9::5|10.128.0.0/9"))
for _, case in ipairs({
    { "127.0.0.1", true }, { "127.255.0.9", true }, { "::1", true }, { "::2", false },
    { "192.0.2.7", true }, { "192.0.2.8", false }, { "198.51.100.200", true }, { "198.51.101.1", false },
    -- A network that does not end on a byte.
    { "10.128.0.1", true }, { "10.255.255.255", true }, { "10.127.255.255", false },
    { "2001:db8:7::1", true }, { "2001:db8:7:ffff:1:2:3:4", true }, { "2001:db8:8::1", false },
    { "2001:db8:9::5", true }, { "2001:db8:9::6", false },
    -- A dual-stack listen's IPv4 clients, and an IPv6 address with the
    -- same bytes as an allowed IPv4 one where it is not mapped.
    { "::ffff:127.0.0.1", true }, { "::ffff:192.0.2.7", true }, { "::ffff:192.0.2.8", false },
    { "::c000:207", false }, { "64:ff9b::c000:207", false },
}) do
    t.eq(nets.allowed(list, sys.inet_pton(case[1])), case[2], "allowed " .. case[1])
end
t.eq(nets.allowed(list, nil), false, "allowed of no address")
-- Host bits given are cleared, as nginx's allow does.
t.ok(nets.allowed(assert(nets.parse("2001:db8::5/64")), sys.inet_pton("2001:db8::99")), "2001:db8::5/64")

for _, bad in ipairs({ "300.1.1.1", "10.0.0.0/33", "2001:db8::/129", "2001:db8::1::1", "[::1]",
                       "localhost", "10.0.0.0/", "/8" }) do
    t.eq(nets.parse(bad), nil, "parse " .. bad)
end
t.eq(select(2, nets.parse("10.0.0.0/33")), "\"10.0.0.0/33\" is not an IPv4 or IPv6 address or network",
     "the reason")
