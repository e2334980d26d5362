-- bench_frontend_memo's first table: what a set that evicts and a get cost
-- in the two LRU caches of lua-resty-lrucache, at the memo's default size
-- and at powers of two, in one process (frontend_memo.sh runs it in a plain
-- nginx's init_by_lua). Keys are URL texts as the memo's; each cache is full
-- before the sets are timed, so that every one of them evicts.
--
--   memo_lru.lua SIZE...

local clock = os.clock
local fmt = string.format

-- Sets that evict, timed per cache until they have taken TIMED seconds
-- (a set costs from 0.1 us to half a millisecond), at most SETS of them;
-- then GETS gets.
local TIMED = 0.2
local SETS = 100000
local GETS = 1000000

local sizes = {}
for _, arg in ipairs({ ... }) do
    sizes[#sizes + 1] = assert(tonumber(arg), "a size, not " .. arg)
end

local function key(i)
    return fmt("memo.example/vod/s%d/clip%d.mp4", i, i)
end

-- Microseconds a set that evicts and a get of a present key take, in cache
-- module lru at size entries.
local function costs(lru, size)
    local keys = {}
    for i = 1, size + SETS do
        keys[i] = key(i)
    end
    local memo = assert(lru.new(size))
    for i = 1, size do
        memo:set(keys[i], keys[i])
    end
    local start, done = clock(), size
    repeat
        for i = done + 1, done + 100 do
            memo:set(keys[i], keys[i])
        end
        done = done + 100
    until done == size + SETS or clock() - start > TIMED
    local set = (clock() - start) / (done - size)
    -- The last size keys set are the ones present.
    local first = done - size + 1
    start = clock()
    for i = 1, GETS do
        memo:get(keys[first + i % size])
    end
    local get = (clock() - start) / GETS
    return set * 1e6, get * 1e6
end

local caches = {
    { "resty.lrucache", require "resty.lrucache" },
    { "resty.lrucache.pureffi", require "resty.lrucache.pureffi" },
}
io.stdout:write(fmt("%-24s %8s %16s %10s\n", "cache", "entries", "evicting set us", "get us"))
for _, size in ipairs(sizes) do
    for _, cache in ipairs(caches) do
        local set, get = costs(cache[2], size)
        io.stdout:write(fmt("%-24s %8d %16.2f %10.3f\n", cache[1], size, set, get))
    end
    collectgarbage()
end
io.stdout:flush()
os.exit(0)
