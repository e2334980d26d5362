-- What the front end's Lua keeps for the C side, held to the C headers: the
-- library's six declarations in cachenode.lua against cachekit.h, and every
-- number of cachenode.sys and cachenode.names (errno values, flags, signals,
-- structure sizes and offsets, the library's limits) against what sys_probe
-- prints from the headers.
--   ffi_test.lua SOURCE_DIR SYS_PROBE
local t = require "harness"
local ffi = require "ffi"
local names = require "cachenode.names"
local sys = require "cachenode.sys"

local src, probe = ...

local function read(path)
    local f = assert(io.open(path, "rb"))
    local text = f:read("*a")
    f:close()
    return text
end

-- The declarations of the six exports in C text, one normalised line each,
-- sorted: no comments, preprocessor lines or CACHEKIT_API, single blanks.
local EXPORTS = { fileExist = true, md5data = true, md5file = true, uri2d = true,
                  checkdisk = true, getmsgip = true }
local function declarations(text)
    text = text:gsub("/%*.-%*/", " "):gsub("//[^\n]*", " "):gsub("%-%-[^\n]*", " ")
    text = text:gsub("\n%s*#[^\n]*", "\n"):gsub("CACHEKIT_API", " ")
    local found = {}
    for piece in text:gmatch("[^;{}]+") do
        piece = piece:gsub("%s+", " "):gsub(" *([%*%(%),]) *", "%1"):gsub("^ ", ""):gsub(" $", "")
        local name = piece:match("^[%a_][%w_ %*]-([%w_]+)%(")
        if name and EXPORTS[name] then
            found[#found + 1] = piece
        end
    end
    table.sort(found)
    return found
end

local want = declarations(read(src .. "/cachekit/include/cachekit.h"))
local got = declarations(read(src .. "/frontend/cachenode.lua"):match("\nffi%.cdef%[%[(.-)%]%]"))
t.eq(#want, 6, "declarations in cachekit.h")
for i = 1, math.max(#want, #got) do
    t.eq(got[i], want[i], "cachenode.lua's declaration " .. i)
end

-- The numbers, as LuaJIT sees them, line by line against the probe's.
local lines = {}
for _, module in ipairs({ sys, names }) do
    for name, value in pairs(module) do
        if type(value) == "number" and name:match("^[A-Z][A-Z0-9_]*$") then
            lines[name] = value
        end
    end
end
for _, s in ipairs({
    { "stat", "cachenode_stat_t", { "st_dev", "st_ino", "st_mode", "st_size", "st_blksize", "st_blocks" },
      true },
    { "statfs", "cachenode_statfs_t", { "f_blocks", "f_bavail", "f_frsize" }, true },
    { "dirent", "cachenode_dirent_t", { "d_name" }, false },
    { "iovec", "cachenode_iovec_t", { "iov_len" }, true },
}) do
    if s[4] then
        lines["sizeof " .. s[1]] = ffi.sizeof(s[2])
    end
    for _, field in ipairs(s[3]) do
        lines["offsetof " .. s[1] .. " " .. field] = ffi.offsetof(s[2], field)
    end
end
local pipe = assert(io.popen(probe))
local count = 0
for line in pipe:lines() do
    local name, value = line:match("^(.-) (%-?%d+)$")
    count = count + 1
    t.eq(lines[name], tonumber(value), name)
    lines[name] = nil
end
pipe:close()
t.ok(count > 20, "the probe printed " .. count .. " numbers")
for name in pairs(lines) do
    t.eq(name, nil, "a number the probe does not print")
end
