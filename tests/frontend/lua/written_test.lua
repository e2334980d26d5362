-- cachenode.sys.written: the bytes a client has written from a file's
-- start, on the file system of the temporary directory: a file written front
-- to back is its size; a reserved (fallocate) or out-of-order file is held
-- to its first hole, less the block before it, which may be partly written.
-- Skips the hole cases where the file system shows no holes.
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
t.eq(written(), 5000, "a file written front to back")
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
    sh("head -c 1048576 /dev/zero | tr '\\0' a | dd of=F conv=notrunc 2>/dev/null")
    t.eq(written(), 1048576, "the whole reserved length")
else
    io.stdout:write("the file system of ", dir, " shows no holes: hole cases skipped\n")
end
os.execute("rm -rf " .. dir)
