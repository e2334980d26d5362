-- cachenode.names and the spool's names: what a request, a knob and a
-- download may be called, as tables of cases; and the file a URL gets from
-- cachenode.mapping's memo.
local t = require "harness"

-- The memo's clock (its LRU cache reads ngx.now when it is loaded, below):
-- a missing file's entry expires as the test moves it, not as time passes.
local now = 1000
ngx.now = function() return now end
local names = require "cachenode.names"
local spool = require "cachenode.spool"

local sites = assert(names.parse_hosts("node7|.cdn.example"))
local long = string.rep("a", 1100)

-- A request's URL text (host and path): the status it is refused with, or
-- nil when it reaches uri2d.
for _, case in ipairs({
    { "node7/vod/a.mp4", nil },
    { "node7/vod/a%20b.mp4", nil },
    { "x.cdn.example/vod/a.mp4", nil },
    { "cdn.example/vod/a.mp4", nil },
    { "node7/vod/../vod/a.mp4", 400 },
    { "node7/vod/./a.mp4", 400 },
    { "node7/vod/%2e%2e/a.mp4", 400 },
    { "node7/vod/%2E%2e/a.mp4", 400 },
    { "node7/vod/%2e/a.mp4", 400 },
    { "node7/vod/a%00.mp4", 400 },
    { "node7/vod/a%zz.mp4", 400 },
    { "node7/vod/a%4.mp4", 400 },
    { "node7/vod//a.mp4", 400 },
    { "node7/vod/a.mp4/", 400 },
    { "node7/vod/a", 400 },
    { "node7/vod.d/a", 400 },
    { "node7/", 400 },
    { "node7/vod/a b.mp4", 400 },
    { "node7/vod/a\"b.mp4", 400 },
    { "node7/vod/a\\b.mp4", 400 },
    { "node7/vod/a{b}.mp4", 400 },
    { "node7/vod/a<b>.mp4", 400 },
    { "node7/vod/a?b.mp4", 400 },
    { "node7/" .. long .. ".mp4", 400 },
    { "evil.example/vod/a.mp4", 421 },
    { "node7.evil.example/vod/a.mp4", 421 },
    { "169.254.169.254/vod/a.mp4", 421 },
    { "xcdn.example/vod/a.mp4", 421 },
}) do
    local host = case[1]:match("^[^/]*")
    t.eq(names.refuse(case[1], host, sites), case[2], "refuse " .. case[1]:sub(1, 60))
end
for _, host in ipairs({ "", "a/b", ".node7", "a..b" }) do
    t.eq(names.refuse(host .. "/vod/a.mp4", host, sites), 400, "refuse host \"" .. host .. "\"")
end

-- Knobs: the sites, the cache directories.
for _, case in ipairs({
    { "node7", true }, { "a.example|.b.example", true }, { "", false }, { "10.1.2.3", false },
    { ".", false }, { "a..b", false }, { "a.", false }, { "a_b", false },
}) do
    t.eq(names.parse_hosts(case[1]) ~= nil, case[2], "parse_hosts " .. case[1])
end
for _, case in ipairs({
    { "/data1", nil }, { "/data1/", "must be absolute and must not end in '/'" },
    { "data1", "must be absolute and must not end in '/'" },
    { "/a//b", "must not hold an empty piece" }, { "/a/../b", "must not hold a '.' or '..' piece" },
    { "/a b", "holds a byte outside letters, digits and / . _ : , + = @ % - or is too long" },
}) do
    t.eq(names.check_dir(case[1]), case[2], "check_dir " .. case[1])
end
t.eq(table.concat(names.split_dirs("/a|| /b|/c |"), ","), "/a,/b,/c ", "split_dirs")

-- uri2d's answer must be a piece of the URL text below a cache directory.
local dirs = { "/d1", "/d2" }
for _, case in ipairs({
    { "/d1/node7/vod/a.mp4", "node7/vod/a.mp4", 3, true },
    { "/d2/node7/vod/a.b", "node7/vod/a.b.mp4", 3, false },
    { "/d3/node7/vod/a.mp4", "node7/vod/a.mp4", nil },
    { "/d1/node7/a:b/a.mp4", "node7/a:b/a.mp4", 3, true },
    { "/d1/node7/vod/a.mp4x", "node7/vod/a.mp4", nil },
    { "/d1/node7", "node7/vod/a.mp4", nil },
}) do
    local len, whole = names.dir_of(case[1], case[2], "node7", dirs)
    t.eq(len, case[3], "dir_of " .. case[1])
    t.eq(whole, case[4], "dir_of " .. case[1] .. " whole")
end

-- Names of downloads in progress.
local temp = names.temp_name("/d1/node7/vod/a.mp4", 123, 4)
t.eq(temp, "/d1/node7/vod/a.mp4.cn-123-4.part", "temp_name")
t.eq(names.temp_file(temp), "/d1/node7/vod/a.mp4", "temp_file")
t.eq(names.temp_file("/d1/node7/vod/a.mp4"), nil, "temp_file of a cache file")
t.eq(spool.name("/s", 77, 3), "/s/77-3.part", "spool.name")
t.eq(spool.owner("77-3.part"), 77, "spool.owner")
t.eq(spool.owner("77-3.part.x"), nil, "spool.owner of another name")

-- The extensions nginx seeks in, and the named location of each.
for _, case in ipairs({
    { "/v/a.mp4", true, "@cached_mp4" }, { "/v/a.MP4", true, "@cached_mp4" },
    { "/v/a.flv", true, "@cached_flv" }, { "/v/a.ts", false, "@cached" },
    { "/v/a.mp4.jpg", false, "@cached" },
}) do
    t.eq(names.seekable(case[1]), case[2], "seekable " .. case[1])
    t.eq(names.cached_location(case[1]), case[3], "cached_location " .. case[1])
end

-- One spelling per URL (RFC 3986, 6.2.2): escapes of unreserved characters
-- decoded, the others' hex upper case, malformed ones left for refuse().
for _, case in ipairs({
    { "node7/vod/bust.mp%34", "node7/vod/bust.mp4" },
    { "node7/%76od/bust.mp4", "node7/vod/bust.mp4" },
    { "node7/vod/%62%75%73%74.mp4", "node7/vod/bust.mp4" },
    { "node7/vod/a%2Db%5F%7e%2e.mp4", "node7/vod/a-b_~..mp4" },
    { "node7/vod/a%2fb.mp4", "node7/vod/a%2Fb.mp4" },
    { "node7/vod/a%3f%20b.mp4", "node7/vod/a%3F%20b.mp4" },
    { "node7/vod/a%zz%4.mp4", "node7/vod/a%zz%4.mp4" },
    { "node7/vod/%2e%2e/a.mp4", "node7/vod/../a.mp4" },
    { "node7/vod/a.mp4", "node7/vod/a.mp4" },
}) do
    t.eq(names.normalize(case[1]), case[2], "normalize " .. case[1])
end

-- The memo of cachenode.mapping, over a stand-in uri2d that counts its
-- calls: it keeps memo_size URLs and drops the least recently used; a
-- missing file's entry holds a second, after which the file found is read
-- by the pool when it is large; a change of the directories up forgets all.
ngx.var = { host = "node7" }
local ffi = require "ffi"
local mapping = require "cachenode.mapping"
local dir = os.tmpname()
os.remove(dir)
assert(os.execute("mkdir -p " .. dir .. "/node7/vod") == 0)
local calls = 0
local lib = { uri2d = function(buf, text) calls = calls + 1; ffi.copy(buf, dir .. "/" .. text) end }
assert(mapping.init({ memo_size = 2, dirs = { dir }, sites = sites, cache_dirs = dir,
                      cache_dirs_out = "remap", io_thread_min = 100 }, lib))
local function write(name, size)
    local file = assert(io.open(dir .. "/node7/vod/" .. name, "w"))
    file:write(string.rep("x", size))
    file:close()
end
write("a.mp4", 10)
write("b.mp4", 10)
local a, b, c = dir .. "/node7/vod/a.mp4", dir .. "/node7/vod/b.mp4", dir .. "/node7/vod/c.mp4"
for _, case in ipairs({
    -- { the URL's name, or what is done; the clock; its entry; uri2d's calls so far }
    { "a", 1000, a, 1 }, { "b", 1000, b, 2 }, { "a", 1000, a, 2 },
    { "c", 1000, c, 3 }, { "a", 1000, a, 3 }, { "b", 1000, b, 4 },
    { "c", 1000, c, 5 }, { "write c" }, { "c", 1000.5, c, 5 }, { "c", 1002, "/" .. c, 6 },
    { "c", 5000, "/" .. c, 6 }, { "set_live" }, { "c", 5000, "/" .. c, 7 },
}) do
    if case[1] == "write c" then
        write("c.mp4", 200)
    elseif case[1] == "set_live" then
        mapping.set_live(dir)
    else
        now = case[2]
        local what = case[1] .. " at " .. now
        t.eq(mapping.entry_of("node7/vod/" .. case[1] .. ".mp4"), case[3], "entry_of " .. what)
        t.eq(calls, case[4], "uri2d's calls after " .. what)
    end
end
os.execute("rm -r " .. dir)
