-- cachenode.stream: the answer to a miss. It follows the download of its
-- file, reading the growing temporary file at the download's pace: chunked
-- for HTTP/1.1 and close-delimited for HTTP/1.0, since the length is known
-- only at the end. It ends cleanly once the download has succeeded and cuts
-- the response (no final chunk, the connection closed) when it fails, so
-- that no client takes a part for the whole. What only the whole file can
-- answer (a seek, most ranges) waits for the end and goes to nginx. Only
-- the written prefix of the file is sent, and a viewer holds at most one
-- chunk of it in the worker, however slowly it reads: over HTTP/1.x the
-- kernel's socket buffer takes what the viewer has not read; an HTTP/2
-- stream's data waits in the worker for the viewer's flow-control window,
-- so its chunk is smaller.

local ffi = require "ffi"
local fetch = require "cachenode.fetch"
local names = require "cachenode.names"
local sys = require "cachenode.sys"
local waits = require "cachenode.waits"

local ngx = ngx
local ngx_var = ngx.var
local ngx_header = ngx.header
local ngx_print = ngx.print
local ngx_flush = ngx.flush
local ngx_sleep = ngx.sleep
local ffi_string = ffi.string
local match = string.match
local tonumber = tonumber
local pcall = pcall
local min = math.min


local _M = { _VERSION = "1.0" }

-- Bytes read and sent at a time, the most a viewer holds in the worker: the
-- next chunk is read once the last has gone to the socket (HTTP/1.x) or out
-- of its stream's window (HTTP/2). An HTTP/2 chunk is one DATA frame of the
-- protocol's default size: a worker's worker_connections (32,000) stalled
-- streams hold 32,000 x 16 KiB = 500 MiB of chunks, where 256 KiB held
-- 8 GiB. One buffer serves every request of the worker, as each copies out
-- before it yields.
local CHUNK = 262144
local CHUNK_H2 = 16384
local buf = ffi.new("char[?]", CHUNK)


-- What a request can take from a file still arriving: "stream" (200 from its
-- first byte), "head", "range" (a closed range, 206 once its last byte is
-- there) or "whole" (a seek or another range: only the finished file).
local function form_of(req)
    if req.method == "HEAD" then
        return "head"
    end
    if names.seekable(req.uri) and (ngx_var.arg_start or ngx_var.arg_end) then
        return "whole"
    end
    local range = ngx_var.http_range
    -- No validator matches a file still arriving (RFC 9110, 13.1.5): with
    -- If-Range the whole file is the answer.
    if not range or ngx_var.http_if_range then
        return "stream"
    end
    local first, last = match(range, "^bytes=(%d+)%-(%d*)$")
    if first == "0" and last == "" then
        return "stream"
    end
    first, last = tonumber(first), tonumber(last)
    if first and last and first <= last then
        return "range", first, last
    end
    return "whole"
end


-- Reads up to len bytes of the file behind r.fd at r.offset into buf from
-- the page cache alone, so that the worker never waits for a disk: bytes
-- that have left it (written out and let go, under memory pressure) are
-- asked of the kernel, and the request sleeps until they are in. Returns
-- the count, or nil, the reason and errno (r.read_error and r.read_errno
-- say it too).
local function read_cached(r, len)
    local step = 0
    while true do
        local n, err, errno = sys.pread_cached(r.fd, buf, len, r.offset)
        if err ~= "again" then
            if not n or n == 0 then
                r.read_error, r.read_errno = err or "the file is shorter than it was", errno
                r.read_path = r.temp
                return nil, r.read_error, errno
            end
            return n
        end
        sys.willneed(r.fd, r.offset, len)
        step = waits.step(waits.cold, step, waits.cold.most)
        ngx_sleep(step)
    end
end

-- Sends bytes [r.offset, upto) of the file behind r.fd; nil and the reason
-- when the client went away or the file could not be read (r.read_error).
local function send_upto(r, upto)
    while r.offset < upto do
        local n, err = read_cached(r, min(r.chunk, upto - r.offset))
        if not n then
            return nil, err
        end
        local ok
        ok, err = ngx_print(ffi_string(buf, n))
        if ok then
            ok, err = ngx_flush(true)
        end
        if not ok then
            return nil, err
        end
        r.offset = r.offset + n
    end
    return true
end

-- Sends what the request's form allows of the first size bytes, which have
-- arrived.
-- Returns "done" when the answer is complete, true to go on, or nil and the
-- reason.
local function send_arrived(r, size)
    if r.form == "whole" or size == 0 then
        return true
    end
    if r.form == "range" then
        if size <= r.last then
            return true
        end
        ngx.status = 206
        ngx_header["X-Cache"] = "MISS"
        ngx_header["Content-Range"] = "bytes " .. r.first .. "-" .. r.last .. "/*"
        ngx_header["Content-Length"] = r.last - r.first + 1
        r.begun, r.offset = true, r.first
        local ok, err = send_upto(r, r.last + 1)
        return ok and "done", err
    end
    if not r.begun then
        ngx.status = 200
        ngx_header["X-Cache"] = "MISS"
        -- A player may seek while the file arrives: a range is answered
        -- once its bytes, or the whole file, are there.
        ngx_header["Accept-Ranges"] = "bytes"
        r.begun = true
        if r.form == "head" then
            local ok, err = ngx.send_headers()
            return ok and "done", err
        end
    end
    return send_upto(r, size)
end


-- The download ended with status after size bytes: what the request does.
local function ended(r, status, size)
    if status ~= 200 then
        return r.begun and "cut" or "status", status
    end
    if not r.begun then
        return "exec"
    end
    -- The temporary file the request read is the finished file.
    if sys.size(r.fd) ~= size then
        return "cut"
    end
    local ok = send_upto(r, size)
    return ok and "done" or r.read_error and "cut" or "gone"
end


-- The request follows the download into temp from now on.
local function follow_temp(r, temp)
    if r.fd then
        sys.close(r.fd)
        r.fd = nil
    end
    if r.temp then
        fetch.watch(r.temp, -1)
    end
    r.temp = temp
    if temp then
        fetch.watch(temp, 1)
    end
end


-- Follows the download of req.key until the answer is complete. Returns
-- what the handler does next: "done", "gone" (the client left), "cut",
-- "exec" (nginx serves the finished file) or "status" with a status.
local function follow(req, r)
    while not req.aborted do
        local state, temp, seen, arrived = fetch.join(req, r.temp, not r.begun)
        if state == "ended" then
            return ended(r, temp, seen)
        elseif state == "cached" then
            return "exec"
        elseif temp == "client" then
            return "status", 429
        elseif not state then
            ngx.log(ngx.ERR, "cachenode: download of \"", req.url, "\" not started: ", temp)
            return r.begun and "cut" or "status", 503
        end
        -- After a takeover the download starts again under a new name; the
        -- request goes on from the byte it has reached.
        if temp ~= r.temp then
            follow_temp(r, temp)
        end
        if not r.fd then
            r.fd = sys.open_read(r.temp)
        end
        if r.fd and (arrived > r.offset or not r.begun) then
            local ok, err = send_arrived(r, arrived)
            if ok == "done" then
                return "done"
            end
            if not ok and r.read_error then
                return "cut"
            elseif not ok then
                ngx.log(ngx.INFO, "cachenode: viewer of \"", req.url, "\" left: ", err)
                return "gone"
            end
        end
        fetch.wait(req.key, seen)
    end
    return "gone"
end


-- The content handler's part for a miss: req holds key, url, method, uri
-- and client, and either the cache file (file, dir_len) or spool = true;
-- req.aborted, set when the client has gone, ends it. Returns what follow()
-- returns ("status" 429 when the client has client_misses downloads going);
-- r.offset says how far the answer came.
function _M.serve(req)
    local r = { offset = 0, begun = false, chunk = ngx.req.http_version() == 2 and CHUNK_H2 or CHUNK }
    r.form, r.first, r.last = form_of(req)
    local ok, action, status = pcall(follow, req, r)
    follow_temp(r, nil)
    if not ok then
        ngx.log(ngx.ERR, "cachenode: answer for \"", req.url, "\" failed: ", action)
        action, status = r.begun and "cut" or "status", 500
    end
    return action, status, r
end


return _M
