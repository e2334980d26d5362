-- cachenode.nets: networks as a token's cdniip and the address knobs write
-- them, and the clients they take in, as nginx's $binary_remote_addr gives
-- them (inet_pton here).
local t = require "harness"
local nets = require "cachenode.nets"
local sys = require "cachenode.sys"

-- One network and a client: a token's (exact) and a knob's (loose) reading
-- agree on every network without bits past its prefix.
for _, case in ipairs({
    { "192.0.2.0/24", "192.0.2.255", true }, { "192.0.2.0/24", "192.0.3.0", false },
    { "192.0.2.128/25", "192.0.2.127", false }, { "192.0.2.128/25", "192.0.2.128", true },
    { "10.128.0.0/9", "10.255.255.255", true }, { "10.128.0.0/9", "10.127.255.255", false },
    { "0.0.0.0/0", "203.0.113.9", true }, { "0.0.0.0/0", "::1", false },
    { "2001:db8::/32", "2001:db8:ffff::1", true }, { "2001:db8::/32", "2001:db9::1", false },
    { "2001:db8::1", "2001:DB8:0:0::1", true }, { "2001:db8::1", "2001:db8::2", false },
    { "::/0", "2001:db8::1", true }, { "::/0", "192.0.2.1", false },
    -- Mapped, in the network or in the client: the IPv4 address it maps.
    { "::ffff:192.0.2.0/120", "192.0.2.9", true }, { "::ffff:192.0.2.0/120", "::ffff:192.0.2.9", true },
    { "::ffff:0:0/96", "198.51.100.1", true }, { "192.0.2.7", "::ffff:192.0.2.7", true },
    { "::ffff:192.0.2.7", "192.0.2.7", true }, { "::ffff:192.0.2.7", "192.0.2.8", false },
    { "192.0.2.0/24", "::ffff:192.0.3.1", false },
    -- An IPv6 address with an IPv4 one's bytes where it is not mapped.
    { "192.0.2.7", "::c000:207", false }, { "192.0.2.7", "64:ff9b::c000:207", false },
    { "192.0.2.7", nil, false },
}) do
    local what = case[1] .. " holds " .. tostring(case[2])
    local addr = case[2] and sys.inet_pton(case[2])
    t.eq(nets.contains(assert(nets.network(case[1]), case[1]), addr), case[3], "network " .. what)
    t.eq(nets.allowed({ assert(nets.network(case[1], true)) }, addr), case[3], "loose " .. what)
end

-- Refused by both; then bits past the prefix, refused but for a knob,
-- which clears them as nginx's allow does.
for _, text in ipairs({ "300.1.1.1", "192.0.2", "10.0.0.0/33", "2001:db8::/129", "2001:db8::1::1",
                        "::ffff:0.0.0.0/95", "::ffff:1.2.3.4/129", "[::1]", "localhost", "1.2.3.4/",
                        "/24", "", string.rep("0", 40) .. "::1" }) do
    t.eq(nets.network(text), nil, "network " .. text)
    t.eq(nets.network(text, true), nil, "loose " .. text)
    if text ~= "" then
        t.eq(nets.parse("192.0.2.7|" .. text), nil, "parse " .. text)
    end
end
for _, case in ipairs({ { "192.0.2.1/24", "192.0.2.200" }, { "2001:db8::5/64", "2001:db8::99" },
                        { "10.200.0.0/9", "10.128.0.1" }, { "::ffff:192.0.2.1/120", "192.0.2.9" } }) do
    t.eq(select(2, nets.network(case[1])), "\"" .. case[1] .. "\" has bits set past its prefix",
         "network " .. case[1])
    t.ok(nets.allowed(assert(nets.parse(case[1])), sys.inet_pton(case[2])), "knob " .. case[1])
end

-- A knob's list: loopback always, then its pieces.
local list = assert(nets.parse("192.0.2.7|198.51.100.0/24|2001:db8:7::/48"))
for _, case in ipairs({
    { "127.0.0.1", true }, { "127.255.0.9", true }, { "::1", true }, { "::2", false },
    { "::ffff:127.0.0.1", true }, { "192.0.2.7", true }, { "192.0.2.8", false },
    { "198.51.100.200", true }, { "2001:db8:7:ffff:1:2:3:4", true }, { "2001:db8:8::1", false },
}) do
    t.eq(nets.allowed(list, sys.inet_pton(case[1])), case[2], "allowed " .. case[1])
end
t.eq(nets.allowed(list, nil), false, "allowed of no address")
t.eq(select(2, nets.parse("192.0.2.7|10.0.0.0/33")), "\"10.0.0.0/33\" has a prefix longer than its address",
     "the reason")
