-- Run by `nginx -t` (init_by_lua) in frontend_test.sh ffi: prints the numbers
-- that cachenode.sys and cachenode.names keep for the C side, and the sizes
-- and offsets LuaJIT gives the structures sys declares, as sys_probe prints
-- them from the headers. Called with the output file's name.
local out_path = ...
local ffi = require "ffi"
local sys = require "cachenode.sys"
local names = require "cachenode.names"

local lines = {}
for _, module in ipairs({ sys, names }) do
    for name, value in pairs(module) do
        if type(value) == "number" and name:match("^[A-Z][A-Z0-9_]*$") then
            lines[#lines + 1] = name .. " " .. value
        end
    end
end
local layout = {
    { "stat", "cachenode_stat_t", { "st_mode", "st_size" } },
    { "statfs", "cachenode_statfs_t", { "f_blocks", "f_bavail", "f_frsize" } },
    { "dirent", "cachenode_dirent_t", { "d_name" } },
}
for _, s in ipairs(layout) do
    if s[1] ~= "dirent" then
        lines[#lines + 1] = "sizeof " .. s[1] .. " " .. ffi.sizeof(s[2])
    end
    for _, field in ipairs(s[3]) do
        lines[#lines + 1] = "offsetof " .. s[1] .. " " .. field .. " " .. ffi.offsetof(s[2], field)
    end
end
table.sort(lines)
local out = assert(io.open(out_path, "w"))
out:write(table.concat(lines, "\n"), "\n")
out:close()
