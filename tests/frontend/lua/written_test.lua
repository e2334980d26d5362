-- cachenode.sys.written: the bytes a client has written for sure from a
-- file's start, on the file system of the temporary directory: up to the
-- first hole (the end of the file is one), less the block before it, which
-- may be partly written. Skips the hole cases where the file system shows
-- no holes.
local t = require "harness"
local sys = require "cachenode.sys"

local dir = assert(io.popen("mktemp -d")):read("*l")
local path = dir .. "/f"
local function sh(command)
    assert(os.execute(command:gsub("F", path)) == 0, command)
end
local function written()
    local fd = assert(sys.open_read(path))
    local n = sys.written(fd)
    sys.close(fd)
    return n
end

sh("head -c 5000 /dev/zero | tr '\\0' a >F")
t.eq(written(), 4096, "a file written front to back: its last block held back")
sh(": >F")
t.eq(written(), 0, "an empty file")

-- Does this file system keep holes? A block, then 1 MiB skipped.
sh("printf x | dd of=F bs=1 seek=1048576 conv=notrunc 2>/dev/null")
local block = 4096
local holes = written() == 0
if holes then
    t.eq(written(), 0, "only the last block written (out of order)")
    sh("rm F && fallocate -l 1048576 F && head -c 100 /dev/zero | tr '\\0' a | dd of=F conv=notrunc 2>/dev/null")
    t.eq(written(), 0, "a reserved file with 100 bytes: the partly written block held back")
    sh("head -c 10000 /dev/zero | tr '\\0' a | dd of=F conv=notrunc 2>/dev/null")
    t.eq(written(), 2 * block, "10,000 bytes: two whole blocks")
    sh("head -c 1047000 /dev/zero | tr '\\0' a | dd of=F conv=notrunc 2>/dev/null")
    t.eq(written(), 1048576 - block, "all but the end of a reserved file: its last block held back")
else
    io.stdout:write("the file system of ", dir, " shows no holes: hole cases skipped\n")
end
os.execute("rm -rf " .. dir)
