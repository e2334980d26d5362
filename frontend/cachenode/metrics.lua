-- cachenode.metrics: the front end's own series in Prometheus' text format.
-- Counters live in the shared dictionary cachenode_stats, so that every
-- worker adds to the same ones; gauges are read at scrape time.

local disks = require "cachenode.disks"
local fetch = require "cachenode.fetch"
local sys = require "cachenode.sys"

local ngx = ngx
local ngx_var = ngx.var
local concat = table.concat
local tonumber = tonumber
local ipairs = ipairs
local pairs = pairs
local format = string.format


local _M = { _VERSION = "1.0" }

local RESULTS = { "hit", "miss", "refused", "failed" }
local OUTCOMES = { "ok", "failed", "timeout", "idle", "busy", "cancelled", "yielded" }
-- Upper bounds of the download time histogram, in seconds: from a small file
-- on a near origin to a long video.
local BUCKETS = { 0.01, 0.05, 0.1, 0.5, 1, 5, 10, 30, 60, 300, 1800 }

local stats         -- ngx.shared.cachenode_stats
local refusal_reasons   -- with uri_signing: cachenode.token's REASONS
local conf          -- fetch_max, guard_min_free_gb
local dirs


-- One function builds every key: a series' name and its label's value.
local function key(name, label)
    return label and name .. " " .. label or name
end

local function add(name, label, value)
    stats:incr(key(name, label), value or 1, 0)
end


function _M.init(opts, the_dirs)
    conf, dirs = opts, the_dirs
    stats = ngx.shared.cachenode_stats
    if not stats then
        return nil, "lua_shared_dict cachenode_stats is not configured"
    end
    refusal_reasons = opts.signing and require("cachenode.token").REASONS
    return true
end


-- Requests are counted in each worker and handed over every FLUSH_SECONDS
-- (and before its own scrapes): a shared dictionary's lock per request would
-- take a large share of a HIT. A HIT is counted when map() gives its file,
-- without a log handler, which costs a HIT more than all the rest of its
-- Lua; so its bytes are not counted. The miss location takes the count back
-- when the file was not there, before the flush timer can run.
local FLUSH_SECONDS = 1
local hits = 0
local pending = {}
local REQUEST_KEYS, BYTES_KEYS = {}, {}
for _, result in ipairs(RESULTS) do
    REQUEST_KEYS[result] = key("requests_total", result)
    BYTES_KEYS[result] = key("sent_bytes_total", result)
end

function _M.hit()
    hits = hits + 1
end

function _M.unhit()
    hits = hits - 1
end

-- A signed URL's token refused for reason, counted with the requests.
function _M.token_refused(reason)
    local k = key("token_refusals_total", reason)
    pending[k] = (pending[k] or 0) + 1
end

-- log_by_lua of the miss locations: one request answered with result, or
-- (nil) as its status says. A purge is the operator's and an OPTIONS (a
-- CORS preflight) the browser's, not a viewer's.
function _M.request(result)
    if not result then
        local method = ngx.req.get_method()
        if method == "PURGE" or method == "OPTIONS" then
            return
        end
        local status = ngx.status
        -- The miss handler marks an answer it cut ($cachenode_cut, which the
        -- access log's result reads too).
        result = ngx_var.cachenode_cut == "cut" and "failed"
            or (status >= 500 and "failed" or status >= 400 and "refused" or "miss")
    end
    local k = REQUEST_KEYS[result]
    pending[k] = (pending[k] or 0) + 1
    k = BYTES_KEYS[result]
    pending[k] = (pending[k] or 0) + (tonumber(ngx_var.bytes_sent) or 0)
end

-- Also the timer's callback, which ignores its premature argument: a worker
-- that exits hands its counts over a last time.
local function flush()
    if hits > 0 then
        stats:incr(REQUEST_KEYS.hit, hits, 0)
        hits = 0
    end
    for k, n in pairs(pending) do
        stats:incr(k, n, 0)
        pending[k] = nil
    end
end

-- For init_worker: hands this worker's counts over every FLUSH_SECONDS (and
-- a last time when it exits).
function _M.init_worker()
    local ok, err = ngx.timer.every(FLUSH_SECONDS, flush)
    if not ok then
        return nil, "ngx.timer.every(" .. FLUSH_SECONDS .. ") failed: " .. err
    end
    return true
end

-- A download ended with outcome after seconds and bytes.
function _M.download(outcome, seconds, bytes)
    add("fetches_total", outcome)
    add("fetched_bytes_total", nil, bytes)
    add("fetch_duration_seconds_sum", nil, seconds)
    for _, le in ipairs(BUCKETS) do
        if seconds <= le then
            add("fetch_duration_seconds_bucket", le)
            return
        end
    end
    add("fetch_duration_seconds_bucket", "+Inf")
end

-- The guard removed count files of dir.
function _M.removed(dir, count)
    add("guard_removed_files_total", dir, count)
end

function _M.purged()
    add("purges_total")
end


-- The exposition: HELP and TYPE, then the samples, of every series. The
-- other workers' requests of the last FLUSH_SECONDS may be missing.
function _M.render()
    flush()
    local out = {}
    local function series(name, kind, help)
        out[#out + 1] = "# HELP cachenode_" .. name .. " " .. help
        out[#out + 1] = "# TYPE cachenode_" .. name .. " " .. kind
    end
    local function sample(name, label, value, labelname)
        local text = "cachenode_" .. name
        if label then
            text = text .. "{" .. (labelname or "result") .. "=\"" .. label .. "\"}"
        end
        out[#out + 1] = text .. " " .. format("%.17g", value or 0)
    end
    local function counter(name, labelname, labels, help)
        series(name, "counter", help)
        if not labels then
            sample(name, nil, stats:get(key(name)))
            return
        end
        for _, label in ipairs(labels) do
            sample(name, label, stats:get(key(name, label)), labelname)
        end
    end

    counter("requests_total", "result", RESULTS,
            "Requests answered, by result: hit, miss (from a download, streamed or waited), "
            .. "refused (4xx before any download), failed (5xx or a cut answer).")
    counter("sent_bytes_total", "result", { "miss", "refused", "failed" },
            "Bytes sent to clients for requests that were not HITs, by the request's result.")
    counter("fetches_total", "outcome", OUTCOMES, "Downloads ended, by outcome.")
    counter("fetched_bytes_total", nil, nil, "Bytes downloaded from the origin.")

    series("fetch_duration_seconds", "histogram", "Time each download took.")
    local count = 0
    for _, le in ipairs(BUCKETS) do
        count = count + (stats:get(key("fetch_duration_seconds_bucket", le)) or 0)
        out[#out + 1] = format("cachenode_fetch_duration_seconds_bucket{le=\"%s\"} %d", le, count)
    end
    count = count + (stats:get(key("fetch_duration_seconds_bucket", "+Inf")) or 0)
    out[#out + 1] = format("cachenode_fetch_duration_seconds_bucket{le=\"+Inf\"} %d", count)
    sample("fetch_duration_seconds_sum", nil, stats:get(key("fetch_duration_seconds_sum")))
    sample("fetch_duration_seconds_count", nil, count)

    local running, queued = fetch.counts()
    series("fetches_running", "gauge", "Downloads running now, all workers together.")
    sample("fetches_running", nil, running)
    series("fetches_queued", "gauge", "Misses waiting in line for a download slot.")
    sample("fetches_queued", nil, queued)
    series("fetch_slots", "gauge", "Downloads that may run at once (fetch_max).")
    sample("fetch_slots", nil, conf.fetch_max)

    -- A directory that is out is not asked: its disk may hang, and the
    -- mount point of a disk gone is the file system above's.
    local sizes, frees = {}, {}
    local states = disks.states()
    series("cache_dir_up", "gauge", "Whether each cache directory is up (1) or out (0): no new file, "
           .. "its URLs mapped elsewhere.")
    for i, dir in ipairs(dirs) do
        sample("cache_dir_up", dir, states[i].why and 0 or 1, "dir")
        if not states[i].why then
            sizes[i], frees[i] = sys.space(dir)
        end
    end
    for _, s in ipairs({ { "cache_size_bytes", sizes, "Size of the file system of each cache directory." },
                         { "cache_free_bytes", frees, "Free bytes of the file system of each cache directory." } }) do
        series(s[1], "gauge", s[3])
        for i, dir in ipairs(dirs) do
            if s[2][i] then
                sample(s[1], dir, s[2][i], "dir")
            end
        end
    end
    series("guard_min_free_bytes", "gauge", "Free bytes below which the disk guard removes files.")
    sample("guard_min_free_bytes", nil, tonumber(conf.guard_min_free_gb) * 2 ^ 30)
    counter("guard_removed_files_total", "dir", dirs, "Files the disk guard removed, by cache directory.")
    counter("purges_total", nil, nil, "Purges that removed a cache file or stopped its download.")
    if refusal_reasons then
        counter("token_refusals_total", "reason", refusal_reasons,
                "Requests of signed sites refused for their token (403), by reason.")
    end
    out[#out + 1] = ""
    return concat(out, "\n")
end


return _M
