-- cachenode.line: the cap on downloads running at once, all workers
-- together, and the line of those that wait for a slot, in arrival order.
-- Shaped like lua-resty-limit-conn: new(), acquire() before a download,
-- release() after it; sweep() takes back the slots of dead workers.
--
-- Keys of the shared dictionary, each built by one function below:
--   "q tail"     the last ticket handed out
--   "q head"     the first ticket not yet served
--   "q lock"     held while the head moves or a slot changes hands; its
--                holder never yields, and it lasts waits.lock should the
--                holder die
--   "q t N"      owner worker pid of ticket N while it waits
--   "q slot N"   the record (cachenode.record) of the download in slot N
--   "q free"     the list of free slot numbers
--   "q made"     the slot count the free list was built for (a reload may
--                change it)

local record = require "cachenode.record"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_now = ngx.now
local ngx_sleep = ngx.sleep
local setmetatable = setmetatable


local _M = { _VERSION = "1.0" }
local mt = { __index = _M }

local TAIL, HEAD, LOCK, FREE, MADE = "q tail", "q head", "q lock", "q free", "q made"
local function ticket_key(t) return "q t " .. t end
local function slot_key(i) return "q slot " .. i end


-- A line over the shared dictionary dict for max slots; alive(pid) tells
-- whether a worker lives.
function _M.new(dict, max, alive)
    return setmetatable({ dict = dict, max = max, alive = alive }, mt)
end


local function lock(self, patient)
    return waits.take(self.dict, LOCK, patient)
end

local function unlock(self)
    self.dict:delete(LOCK)
end

local function ticket_live(self, t)
    local owner = self.dict:get(ticket_key(t))
    return owner ~= nil and self.alive(owner)
end

-- Under the lock: the free list holds every slot number up to max that no
-- download holds, each once.
local function rebuild(self)
    local dict = self.dict
    while dict:rpop(FREE) do end
    for i = 1, self.max do
        if not dict:get(slot_key(i)) then
            dict:lpush(FREE, i)
        end
    end
    dict:set(MADE, self.max)
end

-- Under the lock: a free slot number, or nil. Numbers beyond this
-- configuration's max (a reload made fewer) are dropped.
local function pop_free(self)
    local dict = self.dict
    if dict:get(MADE) ~= self.max then
        rebuild(self)
    end
    while true do
        local i = dict:rpop(FREE)
        if not i or i <= self.max then
            return i
        end
    end
end


-- Joins the line for owner: the ticket, or nil and the reason. The ticket
-- lasts ttl seconds, longer than its holder waits.
function _M.enter(self, owner, ttl)
    local t, err = self.dict:incr(TAIL, 1, 0)
    if not t then
        return nil, "incr failed: " .. err
    end
    local ok
    ok, err = self.dict:safe_set(ticket_key(t), owner, ttl)
    if not ok then
        return nil, "ticket not stored: " .. err
    end
    return t
end

-- One look at the line under its lock, without yielding: tickets of
-- requests that left or of dead workers are passed over, and when ticket t
-- is first and a slot is free it gets the slot, which then holds text.
-- Returns the slot, or nil and "full" (t is first), "behind" or "locked".
--
-- A head beyond t passed t over as gone: enter() takes the number and
-- records its owner in two steps, and another worker may look at the line
-- between them. Every ticket before t is served or gone, so t is first all
-- the same; were it "behind", it would wait out its whole deadline.
function _M.try(self, t, text)
    if not lock(self) then
        return nil, "locked"
    end
    local dict = self.dict
    local head = dict:get(HEAD) or 1
    while head < t and not ticket_live(self, head) do
        head = head + 1
    end
    local first = head >= t
    local slot = first and pop_free(self)
    if slot then
        dict:set(slot_key(slot), text)
        head = math.max(head, t + 1)
    end
    dict:set(HEAD, head)
    unlock(self)
    if slot then
        dict:delete(ticket_key(t))
        return slot
    end
    return nil, first and "full" or "behind"
end

-- Whether ticket t may be first: the head is t, or the head's ticket is gone
-- and the head must move. Read without the lock.
local function may_be_next(self, t)
    local head = self.dict:get(HEAD) or 1
    return head >= t or not ticket_live(self, head)
end

-- Waits in line for a slot for the download whose record is text, until
-- deadline (ngx.now() seconds). stop() is asked between looks: a reason to
-- leave the line, or nil. full() is called while this download is first and
-- no slot is free. Returns the slot, or nil and "busy" or stop()'s reason.
function _M.acquire(self, owner, text, deadline, stop, full)
    -- The ticket outlives the wait; a dead waiter's is passed over.
    local t, err = self:enter(owner, deadline - ngx_now() + 5)
    if not t then
        return nil, err
    end
    local step = 0
    while true do
        local why
        if may_be_next(self, t) then
            local slot
            slot, why = self:try(t, text)
            if slot then
                return slot
            end
            if why == "full" and full then
                full()
            end
        end
        local left = deadline - ngx_now()
        why = stop and stop()
        if why or left <= 0 then
            self.dict:delete(ticket_key(t))
            return nil, why or "busy"
        end
        step = waits.step(waits.line, step, left)
        ngx_sleep(step)
    end
end

-- Slot i's download now has the record text.
function _M.set(self, i, text)
    self.dict:set(slot_key(i), text)
end

-- Slot i is empty and, unless a reload made the line shorter, free. Under
-- the lock.
local function free(self, i)
    self.dict:delete(slot_key(i))
    if i <= self.max then
        self.dict:lpush(FREE, i)
    end
end

-- Gives slot i back. It waits (yielding) for the lock, which its holders
-- keep for microseconds.
function _M.release(self, i)
    local locked = lock(self, true)
    free(self, i)
    if locked then
        unlock(self)
    end
end


-- For a timer of one worker, every second or so: each slot whose owner
-- died is handed to take_down(text) (which must not yield) and freed; a
-- free list that lost a number (a worker killed between taking a slot and
-- recording it) is built again. Skipped while another holds the lock.
function _M.sweep(self, take_down)
    if not lock(self) then
        return
    end
    local dict, alive = self.dict, self.alive
    local made, held = dict:get(MADE) or 0, 0
    for i = 1, made do
        local text = dict:get(slot_key(i))
        if text then
            local r = record.parse(text)
            if r and not alive(r.owner) then
                take_down(text)
                free(self, i)
            else
                held = held + 1
            end
        end
    end
    if made ~= self.max or held + (dict:llen(FREE) or 0) ~= made then
        rebuild(self)
    end
    unlock(self)
end


-- The records of the downloads holding slots, by slot.
function _M.records(self)
    local list = {}
    for i = 1, self.max do
        list[#list + 1] = self.dict:get(slot_key(i))
    end
    return list
end

-- Downloads running and waiting for a slot, all workers together.
function _M.counts(self)
    local queued = (self.dict:get(TAIL) or 0) + 1 - (self.dict:get(HEAD) or 1)
    return #self:records(), queued > 0 and queued or 0
end


return _M
