-- wrk script of bench_disk: each request asks for one of the paths listed
-- one a line in the file named by the first argument, with the Host header
-- given as the second: at random, each path alike, or, with a third
-- argument s, with Zipf's popularity of exponent s (the n-th path asked in
-- proportion to 1 / n^s). Each thread draws from a seed of its own.
local paths = {}
local cdf = nil
local host

function init(args)
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    host = args[2]
    local s = tonumber(args[3])
    if s then
        cdf = {}
        local total = 0
        for n = 1, #paths do
            total = total + 1 / n ^ s
            cdf[n] = total
        end
        for n = 1, #paths do
            cdf[n] = cdf[n] / total
        end
    end
    math.randomseed(os.time() + tonumber(tostring({}):match("0x(%x+)"), 16) % 100000)
end

-- The first n whose cdf[n] reaches u.
local function pick(u)
    local lo, hi = 1, #cdf
    while lo < hi do
        local mid = math.floor((lo + hi) / 2)
        if cdf[mid] < u then
            lo = mid + 1
        else
            hi = mid
        end
    end
    return lo
end

function request()
    local n = cdf and pick(math.random()) or math.random(#paths)
    return wrk.format("GET", paths[n], { Host = host })
end
