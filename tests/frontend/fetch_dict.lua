-- Run from init_by_lua in frontend_test.sh ffi, with a small cachenode_fetch:
-- a claim without time-out at the tail of the dictionary's LRU list, every
-- other entry expired, and the dictionary full. The dictionary frees expired
-- entries by itself only from that tail, so no new claim fits until the
-- sweep of cachenode.fetch frees them (the soak filled 4 MB this way in nine
-- minutes, and every download after failed). And the sweep reclaims a dead
-- worker's slot only under the line's lock, as a download that takes that
-- slot at the same time must keep it (the sanitizer build's soak once left a
-- download that no slot named, which outlived its worker). Errors on a fault.
local fetch = require "cachenode.fetch"

fetch.init({ fetch_max = 4, fetch_queue_timeout = 10 })
fetch.init_worker()
local dict = ngx.shared.cachenode_fetch
assert(dict:safe_set("c /d1/long.mp4", "1 0 0 /d1/long.mp4.cn-1-1.part"))
local n = 0
while dict:safe_set("o /d1/f" .. n .. ".mp4.cn-1-1.part", "502 0 failed", 0.001) do
    n = n + 1
end
os.execute("sleep 0.05")
ngx.update_time()
assert(n > 10, "the dictionary took only " .. n .. " entries")
fetch.sweep()
local ok, err = dict:safe_add("c /d1/new.mp4", "1 0 0 /d1/new.mp4.cn-1-2.part")
assert(ok, "a claim after the sweep: " .. tostring(err))
assert(dict:get("c /d1/long.mp4"), "the sweep removed a live claim")

local dead = "999999 0 /d1/gone.mp4.cn-999999-1.part /d1/gone.mp4"
assert(dict:safe_set("slot 1", dead))
assert(dict:safe_add("queue lock", 1, 10))
fetch.sweep()
assert(dict:get("slot 1") == dead, "the sweep changed a slot while the line was locked")
dict:delete("queue lock")
fetch.sweep()
assert(dict:get("slot 1") == nil, "the sweep left a dead worker's slot")
