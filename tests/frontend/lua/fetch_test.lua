-- cachenode.fetch keeps its dictionary usable. Regression: a claim without
-- time-out at the tail of the LRU list, every other entry expired and the
-- dictionary full. The dictionary frees expired entries by itself only from
-- that tail, so no new claim fitted until the sweep freed them (the soak
-- filled 4 MB this way in nine minutes, and every download after failed).
-- Regression: a viewer that stopped following after the download's end
-- made its count again, without time-out, one key for good per download.
-- Regression: a request whose claim met another download's, gone by the
-- time it looked at it, got 503 though the file was whole.
local t = require "harness"
local claims = require "cachenode.claims"
local fetch = require "cachenode.fetch"

local dict = ngx.shared.cachenode_fetch
dict:flush_all()
fetch.init({ fetch_max = 4, fetch_queue_timeout = 10, negative_ttl = 10 })
require("cachenode.clients").init(0)
fetch.init_worker()
assert(dict:safe_set("c /d1/long.mp4", "1 0 0 0 /d1/long.mp4.cn-1-1.part /d1/long.mp4"))
local n = 0
while dict:safe_set("o /d1/f" .. n .. ".mp4.cn-1-1.part", "502 0", 0.001) do
    n = n + 1
end
os.execute("sleep 0.05")
ngx.update_time()
t.ok(n > 1000, "the dictionary took " .. n .. " entries")
t.eq((dict:safe_add("c /d1/new.mp4", "x")), false, "the full dictionary takes no claim")
fetch.sweep()
t.eq(dict:safe_add("c /d1/new.mp4", "1 0 0 0 /d1/new.mp4.cn-1-2.part /d1/new.mp4"), true,
     "a claim after the sweep")
t.ok(dict:get("c /d1/long.mp4"), "the sweep kept a live claim")

local r = { owner = 1, child = 0, started = 1, slot = 0, temp = "/d1/v.mp4.cn-1-3.part", key = "/d1/v.mp4" }
t.eq(claims.add(r), true, "a claim")
claims.watch(r.temp, 1)
t.eq(claims.viewers(r.temp), 1, "its viewer is counted")
claims.ended(r, 200, 10)
claims.watch(r.temp, -1)
claims.watch(r.temp, 1)
t.eq(dict:get("v " .. r.temp), nil, "viewers leaving or joining after the end leave no count")

-- Another worker's download of the key ends between join()'s first look and
-- its claim: the claim fails, the record is gone, the file is whole.
local file = os.tmpname()
os.remove(file)
local current = claims.current
local looks = 0
claims.current = function(key)
    looks = looks + 1
    if looks == 1 then
        assert(dict:safe_set("c " .. key, "1 0 0 0 " .. key .. ".cn-1-4.part " .. key))
        return nil, "", 0
    end
    if looks == 2 then
        dict:delete("c " .. key)
        assert(io.open(file, "w")):close()
    end
    return current(key)
end
local state, why = fetch.join({ key = file, file = file, url = "http://cdn.example/x.mp4",
                                client = "\127\0\0\1" }, nil, true)
claims.current = current
os.remove(file)
t.eq(state, "cached", "a download that ended as it was claimed: " .. tostring(why))
