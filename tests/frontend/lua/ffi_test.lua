-- What the front end's Lua keeps for the C side, held to the C headers: the
-- library's six declarations in cachenode.lua against cachekit.h; the
-- declarations of cachenode.crypto, and those of cachenode.sys that name no
-- structure of its own, compiled after OpenSSL's and glibc's headers (a
-- prototype that differs is a conflicting declaration, a deprecated
-- function a warning, both errors); and every number and name of
-- cachenode.sys, .names and .crypto (errno
-- values, flags, signals, structure sizes and offsets, the library's limits,
-- OpenSSL's selections and parameter names) against what sys_probe prints
-- from the headers.
--   ffi_test.lua SOURCE_DIR SYS_PROBE C_COMPILER
local t = require "harness"
local ffi = require "ffi"
local crypto = require "cachenode.crypto"
local names = require "cachenode.names"
local sys = require "cachenode.sys"

local src, probe, cc = ...

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

-- The declarations of the modules that reach OpenSSL and glibc, compiled
-- after the headers they stand for; each function is used once, so that a
-- deprecated one warns.
local HEADERS = { "arpa/inet.h", "fcntl.h", "signal.h", "spawn.h", "string.h", "sys/stat.h",
                  "sys/uio.h", "sys/wait.h", "unistd.h", "openssl/core_names.h", "openssl/crypto.h",
                  "openssl/ec.h", "openssl/err.h", "openssl/evp.h", "openssl/param_build.h" }
-- preadv2() and posix_spawn_file_actions_addclosefrom_np() are GNU's.
local c_text, used = { "#define _GNU_SOURCE" }, {}
for _, h in ipairs(HEADERS) do
    c_text[#c_text + 1] = "#include <" .. h .. ">"
end
-- crypto's whole block, its typedefs against OpenSSL's structure tags too;
-- of sys's, what names none of its own structures, which stand for glibc's
-- by their layout alone (the probe's sizes and offsets below).
for _, module in ipairs({ { "crypto", "\nffi%.cdef%[%[(.-)%]%]" }, { "sys", "\nffi%.cdef%(%[%[(.-)%]%]%)" } }) do
    local cdef = read(src .. "/frontend/cachenode/" .. module[1] .. ".lua"):match(module[2])
    t.ok(cdef, module[1] .. ".lua has an ffi.cdef block")
    for piece in (cdef or ""):gmatch("[^;]+") do
        local name = piece:match("([%w_]+)%s*%(")
        local own = module[1] == "sys" and piece:match("cachenode_")
        if not own and (module[1] == "crypto" or name) then
            c_text[#c_text + 1] = piece .. ";"
        end
        if name and not own and not piece:match("typedef") then
            used[#used + 1] = "(void *)" .. name
        end
    end
end
t.ok(#used > 35, "functions declared: " .. #used)
c_text[#c_text + 1] = "void *cachenode_used[] = { " .. table.concat(used, ", ") .. " };\n"
local c_file = os.tmpname()
local f = assert(io.open(c_file, "w"))
f:write(table.concat(c_text, "\n"))
f:close()
-- LuaJIT's close() of a pipe says nothing of the exit status: it is printed.
local compile = assert(io.popen(cc .. " -std=c11 -Wall -Werror -fsyntax-only -x c " .. c_file
                                .. " 2>&1; echo \"=$?\""))
local said = compile:read("*a")
compile:close()
os.remove(c_file)
t.ok(said:match("=0\n$"), "the FFI declarations compile after the headers:\n" .. said)

-- The numbers and names, as LuaJIT sees them, line by line against the
-- probe's.
local lines = {}
for _, module in ipairs({ sys, names, crypto }) do
    for name, value in pairs(module) do
        if (type(value) == "number" or type(value) == "string") and name:match("^[A-Z][A-Z0-9_]*$") then
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
    if not name then
        name, value = line:match('^(.-) "(.*)"$')
    end
    count = count + 1
    t.eq(lines[name], tonumber(value) or value, name)
    lines[name] = nil
end
pipe:close()
t.ok(count > 20, "the probe printed " .. count .. " numbers")
for name in pairs(lines) do
    t.eq(name, nil, "a number the probe does not print")
end
