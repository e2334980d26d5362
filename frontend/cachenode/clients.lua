-- cachenode.clients: how many downloads each client has started that still
-- run, all workers together, for the client_misses limit. A client is
-- nginx's $cachenode_client (an IPv4 address, an IPv6 one's /64). A
-- download counts until it ends, whether the request that started it is
-- still there or not: a client that resets its streams or closes its
-- connections at once does not start more. A miss that joins a download
-- already running costs nothing and is not counted, so that the viewers of a
-- new video behind one carrier's address all pass.
--
-- Each worker counts its own under "m <client> <worker pid>", which it alone
-- writes (no lock); the worker that claims a download runs it, so enter()
-- and leave() of one download happen in one worker. It names itself under
-- "w <worker id>" when it starts, and a client's count is the sum over the
-- workers named so: a dead worker's counts are passed over once its
-- successor has started, and expire.

local ngx = ngx


local _M = { _VERSION = "1.0" }

-- A count no worker touched for this long is gone with its worker.
local COUNT_SECONDS = 3600

local dict          -- ngx.shared.cachenode_fetch
local limit         -- client_misses (0: no limit)
local wpid
local mine = {}     -- client -> this worker's count


local function count_key(addr, pid) return "m " .. addr .. " " .. pid end
local function worker_key(id) return "w " .. id end


function _M.init(client_misses)
    limit = client_misses
end

function _M.init_worker(the_dict)
    dict, wpid = the_dict, ngx.worker.pid()
    -- A process that is no worker (no id) serves no request.
    local id = ngx.worker.id()
    if id then
        dict:set(worker_key(id), wpid)
    end
end


local function store(addr, n)
    mine[addr] = n > 0 and n or nil
    if n > 0 then
        dict:set(count_key(addr, wpid), n, COUNT_SECONDS)
    else
        dict:delete(count_key(addr, wpid))
    end
end

-- A request of client addr is about to start a download: true, or nil when
-- addr has client_misses of them running already. Workers that look at
-- once may each let one more pass.
function _M.enter(addr)
    if limit == 0 then
        return true
    end
    local n = 0
    for id = 0, ngx.worker.count() - 1 do
        local pid = dict:get(worker_key(id))
        n = n + (pid and dict:get(count_key(addr, pid)) or 0)
    end
    if n >= limit then
        return nil
    end
    store(addr, (mine[addr] or 0) + 1)
    return true
end

-- The download that addr entered for has ended, or was not started.
function _M.leave(addr)
    if limit ~= 0 then
        store(addr, (mine[addr] or 1) - 1)
    end
end


return _M
