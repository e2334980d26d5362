-- cachenode.config: the knobs checked at start, a table of those refused
-- with the reason nginx stops with, and one good set read back.
local t = require "harness"
local config = require "cachenode.config"

-- A key file of one HS256 key, for the signed URLs' knobs.
local KEYS = os.tmpname()
local f = assert(io.open(KEYS, "w"))
f:write('{"keys":[{"kty":"oct","kid":"k","k":"' .. string.rep("A", 43) .. '"}]}')
f:close()

local function knobs(changes)
    local opts = {
        hosts = "node7", cache_dirs = "/d1|/d2", spool_dir = "/tmp", metrics_allow = "127.0.0.1",
        purge_allow = "192.0.2.0/24", fetch_max = "64", fetch_timeout = "0",
        fetch_idle_timeout = "30", fetch_queue_timeout = "10", client_misses = "16",
        negative_ttl = "10", guard_interval = "60", guard_min_free_gb = "80",
        guard_max_files = "20", memo_size = "10000", drain = "off", cors_origins = "*",
        client_ipv6_prefix = "64",
        uri_signing = "off", uri_signing_param = "URISigningPackage", uri_signing_leeway = "30",
        uri_signing_exempt = "off", uri_signing_renew_kid = "off", uri_signing_audience = "off",
        cache_dirs_mounted = "off", cache_dirs_min = "1", cache_dirs_out = "remap",
        io_thread_min = "256k",
    }
    for name, value in pairs(changes) do
        opts[name] = value
    end
    return opts
end

local conf = assert(config.load(knobs({})))
t.eq(conf.fetch_max, 64, "fetch_max read")
t.eq(conf.guard_min_free_gb, "80", "the guard's numbers stay texts")
t.eq(#conf.dirs, 2, "two cache directories")
t.eq(conf.cache_dirs, "/d1|/d2", "the list as uri2d takes it")
t.eq(conf.drain, false, "drain off")
t.eq(conf.cache_dirs_mounted, false, "cache_dirs_mounted off")
t.eq(conf.cache_dirs_out, "remap", "cache_dirs_out")
t.eq(conf.io_thread_min, 262144, "io_thread_min in bytes")
t.eq(assert(config.load(knobs({ io_thread_min = "off" }))).io_thread_min, false, "io_thread_min off")
t.eq(assert(config.load(knobs({ io_thread_min = "3M" }))).io_thread_min, 3145728, "a size in capitals")
t.eq(assert(config.load(knobs({ cache_dirs_min = "2" }))).cache_dirs_min, 2, "as many as there are")

for _, case in ipairs({
    { { fetch_max = "0" }, "fetch_max must be a whole number from 1 to 100000, not \"0\"" },
    { { fetch_max = "1.5" }, "fetch_max must be a whole number from 1 to 100000, not \"1.5\"" },
    { { client_misses = "-1" }, "client_misses must be a whole number from 0 to 2147483647, not \"-1\"" },
    { { negative_ttl = "ten" }, "negative_ttl must be a whole number from 0 to 2147483647, not \"ten\"" },
    { { guard_max_files = "0" }, "guard_max_files must be a whole number from 1 to 1000000000, not \"0\"" },
    { { cache_dirs = "|" }, "cache_dirs names no directory" },
    { { cache_dirs = "/d1/" }, "cache directory \"/d1/\" must be absolute and must not end in '/'" },
    { { cache_dirs = "/d1|/x/../d2" }, "cache directory \"/x/../d2\" must not hold a '.' or '..' piece" },
    { { cache_dirs = "/" .. string.rep("d", 10240) }, "cache_dirs is 10241 bytes, the library takes fewer than 10240" },
    { { hosts = "10.1.2.3" }, "hosts \"10.1.2.3\" is an IP address, not a site's name" },
    { { purge_allow = "10.0.0.0/40" }, "purge_allow \"10.0.0.0/40\" has a prefix longer than its address" },
    { { metrics_allow = "2001:db8::/129" }, "metrics_allow \"2001:db8::/129\" has a prefix longer than its address" },
    { { spool_dir = "/nonexistent-spool" }, "spool_dir \"/nonexistent-spool\" is not a directory" },
    { { drain = "yes" }, "drain must be on or off, not \"yes\"" },
    { { client_ipv6_prefix = "24" }, "client_ipv6_prefix must be a whole number from 32 to 128, not \"24\"" },
    -- An origin a browser never sends would never match.
    { { cors_origins = "https://www.site.example/" }, "cors_origins \"https://www.site.example/\" is not an "
      .. "origin (scheme://host[:port] in lower case, no path), nor is the knob * or off" },
    { { cors_origins = "https://a.example|*" }, "cors_origins \"*\" is not an origin (scheme://host[:port] "
      .. "in lower case, no path), nor is the knob * or off" },
    { { cors_origins = "www.site.example" }, "cors_origins \"www.site.example\" is not an origin "
      .. "(scheme://host[:port] in lower case, no path), nor is the knob * or off" },
    { { cors_origins = "https://WWW.site.example" }, "cors_origins \"https://WWW.site.example\" is not an "
      .. "origin (scheme://host[:port] in lower case, no path), nor is the knob * or off" },
    -- Signed URLs: the sites, the knobs, the key file, and CORS with cookies.
    { { uri_signing = "other.example", uri_signing_keys = KEYS, cors_origins = "off" },
      "uri_signing names other.example, which is not one of hosts" },
    { { uri_signing = "all", uri_signing_keys = KEYS, cors_origins = "off", uri_signing_leeway = "-1" },
      "uri_signing_leeway must be a whole number of seconds from 0 to 86400, not \"-1\"" },
    { { uri_signing = "all", uri_signing_keys = KEYS, cors_origins = "off", uri_signing_exempt = "favicon.ico" },
      "uri_signing_exempt: \"favicon.ico\" is not a path" },
    { { uri_signing = "all", uri_signing_keys = KEYS, cors_origins = "off", uri_signing_param = "a.b" },
      "uri_signing_param must be letters, digits, _ and -, not \"a.b\"" },
    { { uri_signing = "all", uri_signing_keys = "/nonexistent.jwks", cors_origins = "off" },
      "uri_signing_keys /nonexistent.jwks cannot be read: /nonexistent.jwks: No such file or directory" },
    { { uri_signing = "all", uri_signing_keys = KEYS, cors_origins = "off", uri_signing_renew_kid = "none" },
      "uri_signing_renew_kid none is not an oct (HS256) key of " .. KEYS .. ": the node signs renewals with it" },
    { { uri_signing = "all", uri_signing_keys = KEYS }, "cors_origins is *, and with uri_signing a player's "
      .. "cookie goes only to an answer that names its page's origin: list the players' origins (or off)" },
    { { cache_dirs_mounted = "1" }, "cache_dirs_mounted must be on or off, not \"1\"" },
    { { cache_dirs_out = "drop" }, "cache_dirs_out must be remap or stream, not \"drop\"" },
    { { cache_dirs_min = "3" }, "cache_dirs_min is 3, beyond the 2 cache directories" },
    { { io_thread_min = "1.5m" }, "io_thread_min must be a size (bytes, or with k, m or g) or off, not \"1.5m\"" },
    { { io_thread_min = "4t" }, "io_thread_min must be a size (bytes, or with k, m or g) or off, not \"4t\"" },
}) do
    local changes, want = case[1], case[2]
    local got, why = config.load(knobs(changes))
    t.eq(got, nil, "refused: " .. want)
    t.eq(why, want, "the reason")
end

for _, origins in ipairs({ "*", "off", "https://www.site.example", "http://a.example:8080|https://b.example",
                           "https://[2001:db8::1]:8443" }) do
    t.ok(config.load(knobs({ cors_origins = origins })), "cors_origins " .. origins)
end
local signed = config.load(knobs({ uri_signing = "node7", uri_signing_keys = KEYS, uri_signing_renew_kid = "k",
                                   cors_origins = "https://player.example" }))
t.ok(signed and signed.signing and signed.signing.renew.kid == "k", "a signed site's knobs read")
t.eq(config.load(knobs({})).signing, nil, "uri_signing off by default")
os.remove(KEYS)
