-- cachenode.record: the one record of a running download, as the shared
-- dictionary holds it under the download's claim and under its slot:
--
--   "<owner worker pid> <fetchwrap pid> <start time> <slot> <temporary file> <key>"
--
-- fetchwrap pid and slot are 0 until the download has them. key is the
-- cache file of a cached download, or the spool file of an uncached one
-- (then also its temporary file). No field holds a blank: request targets,
-- cache directories and the spool directory refuse them. Pure functions of
-- texts.

local match = string.match
local tonumber = tonumber


local _M = { _VERSION = "1.0" }


-- The text of record r ({ owner, child, started, slot, temp, key }).
function _M.build(r)
    return r.owner .. " " .. r.child .. " " .. r.started .. " " .. r.slot .. " " .. r.temp .. " "
           .. r.key
end


-- The record of text, or nil when text is not one.
function _M.parse(text)
    local owner, child, started, slot, temp, key =
        match(text or "", "^(%d+) (%d+) (%S+) (%d+) (%S+) (%S+)$")
    if not owner or not tonumber(started) then
        return nil
    end
    return { owner = tonumber(owner), child = tonumber(child), started = tonumber(started),
             slot = tonumber(slot), temp = temp, key = key }
end


return _M
