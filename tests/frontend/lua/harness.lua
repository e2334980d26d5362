-- The front end's Lua tests: each test file, run by run.sh in a plain
-- nginx's init_by_lua, checks one module with tables of cases, through eq()
-- and ok(), which print each failure with its case. main() runs the file,
-- prints the count and ends nginx with the exit status.

local _M = {}

local checks, failures = 0, 0


local function show(value)
    if type(value) == "string" then
        return string.format("%q", value)
    end
    return tostring(value)
end

-- Checks that got equals want; what names the case.
function _M.eq(got, want, what)
    checks = checks + 1
    if got ~= want then
        failures = failures + 1
        io.stdout:write("FAIL: ", what, ": got ", show(got), ", want ", show(want), "\n")
    end
end

function _M.ok(cond, what)
    _M.eq(not not cond, true, what)
end


-- A signed URL's request as cachenode.token reads it (scheme, url: host
-- and path, query), from the text of its URI; client, the client's bytes.
function _M.request(uri, client)
    local scheme, url, query = uri:match("^([^:]*)://([^?]*)%??(.*)$")
    return { scheme = scheme or "", url = url or uri, query = query or "", client = client }
end


function _M.main(file, ...)
    local chunk, err = loadfile(file)
    if not chunk then
        io.stdout:write("FAIL: ", err, "\n")
        os.exit(1)
    end
    local ok, trace = xpcall(chunk, debug.traceback, ...)
    if not ok then
        failures = failures + 1
        io.stdout:write("FAIL: ", file, " broke: ", tostring(trace), "\n")
    end
    io.stdout:write(file:match("[^/]*$"), ": ", checks, " checks, ", failures, " failed\n")
    io.stdout:flush()
    os.exit(failures > 0 and 1 or 0)
end


return _M
