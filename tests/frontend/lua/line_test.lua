-- cachenode.line's bookkeeping on a real shared dictionary, one look at a
-- time (init_by_lua cannot sleep): arrival order, tickets of the gone passed
-- over, slots given back, a dead worker's slot taken back by the sweep but
-- never under another's lock, a lost slot number found again, a ticket
-- passed over before its owner recorded it, and a reload with another slot
-- count.
local t = require "harness"
local line = require "cachenode.line"
local record = require "cachenode.record"

local dict = ngx.shared.cachenode_fetch
local dead = {}
local function alive(pid)
    return not dead[pid]
end
local function rec(owner, key)
    return record.build({ owner = owner, child = 0, started = 1, slot = 0, temp = key .. ".part",
                          key = key })
end

dict:flush_all()
local cap = line.new(dict, 2, alive)
local t1, t2, t3, t4 = cap:enter(10, 60), cap:enter(11, 60), cap:enter(12, 60), cap:enter(13, 60)
t.eq(t2, t1 + 1, "tickets in arrival order")
t.eq(select(2, cap:try(t2, rec(11, "/b"))), "behind", "a ticket behind the first waits")
local s1 = cap:try(t1, rec(10, "/a"))
local s2 = cap:try(t2, rec(11, "/b"))
t.ok(s1 and s2 and s1 ~= s2, "the first two get the two slots")
t.eq(select(2, cap:try(t3, rec(12, "/c"))), "full", "the third is first and finds no slot")
t.eq(select(2, cap:counts()), 2, "two wait")
t.eq((cap:counts()), 2, "two run")

-- The third's worker dies: the fourth is passed to the head.
dead[12] = true
cap:release(s1)
local s4 = cap:try(t4, rec(13, "/d"))
t.eq(s4, s1, "the slot given back goes to the next live ticket")

-- A dead worker's slot: not while another holds the lock, then given back
-- with its download taken down.
dead[11] = true
local taken = {}
local function take_down(text)
    taken[#taken + 1] = record.parse(text).key
end
assert(dict:add("q lock", 1, 10))
cap:sweep(take_down)
t.eq(#taken, 0, "the sweep leaves the slots alone while the line is locked")
dict:delete("q lock")
cap:sweep(take_down)
t.eq(taken[1], "/b", "the sweep takes down the dead worker's download")
local t5 = cap:enter(14, 60)
t.eq(cap:try(t5, rec(14, "/e")), s2, "and its slot is free again")

-- A worker killed between taking a slot and recording it lost the number:
-- the sweep finds it again.
cap:release(s2)
cap:release(s4)
t.eq(dict:rpop("q free") ~= nil, true, "a slot number is lost")
cap:sweep(take_down)
t.eq(dict:llen("q free"), 2, "the sweep builds the free list again")

-- Another worker looked at the line between enter()'s two steps and moved
-- the head past the new ticket: it is still first, never behind for good.
local t8, t9 = cap:enter(17, 60), cap:enter(18, 60)
dict:delete("q t " .. t8)
local s9 = cap:try(t9, rec(18, "/i"))
dict:set("q t " .. t8, 17)
local s8 = cap:try(t8, rec(17, "/h"))
t.ok(s9 and s8 and s8 ~= s9, "the ticket passed over gets the other slot")
cap:release(s8)
cap:release(s9)

-- A reload with one slot: the other number is never given out.
local one = line.new(dict, 1, alive)
local t6, t7 = one:enter(15, 60), one:enter(16, 60)
t.ok(one:try(t6, rec(15, "/f")) == 1, "the one slot is slot 1")
t.eq(select(2, one:try(t7, rec(16, "/g"))), "full", "no second slot after the reload")
