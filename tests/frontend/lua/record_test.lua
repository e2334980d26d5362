-- cachenode.record: one text for a download's claim and its slot, parsed
-- back field for field; anything else is no record.
local t = require "harness"
local record = require "cachenode.record"

local r = { owner = 1234, child = 0, started = 1765200000.125, slot = 0,
            temp = "/d1/node7/vod/a.mp4.cn-1234-7.part", key = "/d1/node7/vod/a.mp4" }
local text = record.build(r)
t.eq(text, "1234 0 1765200000.125 0 /d1/node7/vod/a.mp4.cn-1234-7.part /d1/node7/vod/a.mp4",
     "build")
local back = record.parse(text)
for _, field in ipairs({ "owner", "child", "started", "slot", "temp", "key" }) do
    t.eq(back[field], r[field], "parse " .. field)
end
r.child, r.slot, r.temp, r.key = 999, 64, "/s/1234-8.part", "/s/1234-8.part"
t.eq(record.build(record.parse(record.build(r))), record.build(r), "round trip of a spool download")

for _, bad in ipairs({
    "", "1234 0 1765200000.125 0 /t", "1234 0 x 0 /t /k", "a 0 1 0 /t /k",
    "1234 0 1 0 /t /k extra", "1234 0 1 0 /t /k ", " 1234 0 1 0 /t /k",
}) do
    t.eq(record.parse(bad), nil, "parse \"" .. bad .. "\"")
end
t.eq(record.parse(nil), nil, "parse nil")
