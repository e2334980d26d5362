-- wrk script of bench_frontend: cycles through the request paths listed one a
-- line in the file named by the first argument, with the Host header given as
-- the second.
local paths = {}
local host
local n = 0

function init(args)
    for line in io.lines(args[1]) do
        paths[#paths + 1] = line
    end
    host = args[2]
end

function request()
    n = n % #paths + 1
    return wrk.format("GET", paths[n], { Host = host })
end
