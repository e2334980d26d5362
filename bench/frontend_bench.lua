-- wrk script of bench_frontend: cycles through the request paths listed one a
-- line in the file named by the first argument, with the Host header given as
-- the second and, when a third is given, that Origin (a page's player).
local paths = {}
local headers = {}
local n = 0

function init(args)
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    headers.Host = args[2]
    headers.Origin = args[3]
end

function request()
    n = n % #paths + 1
    return wrk.format("GET", paths[n], headers)
end
