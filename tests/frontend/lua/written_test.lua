-- cachenode.sys.written: the bytes a client has written for sure from a
-- file's start, on the file system of the temporary directory: up to the
-- first hole (the end of the file is one), less the block before it, which
-- may be partly written. Skips the hole cases where the file system shows
-- no holes. Then sys.pread_cached, a streamed miss's read, of a file whose
-- pages have left the page cache.
local t = require "harness"
local ffi = require "ffi"
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
-- Written out and let go (dd's nocache over the whole file): a read of the
-- page cache alone finds nothing (EAGAIN) where the file system can say so,
-- and reads the file otherwise (tmpfs); once the kernel was asked for it,
-- the same bytes come.
sh("head -c 100000 /dev/urandom >F")
local f = assert(io.open(path, "rb"))
local want = f:read(8192)
f:close()
ffi.cdef("int usleep(unsigned int usec);")
local fd = assert(sys.open_read(path))
local buf = ffi.new("char[8192]")
-- Pages just read may wait in a CPU's batch, out of fadvise's reach: again.
local n, why, errno
for _ = 1, 20 do
    sh("sync F && dd if=F iflag=nocache count=0 status=none")
    n, why, errno = sys.pread_cached(fd, buf, 8192, 0)
    if not n then
        break
    end
end
if n then
    t.eq(ffi.string(buf, n), want, "a read of a file system that cannot tell what is cached")
    io.stdout:write("the file system of ", dir, " reads what is not cached: EAGAIN cases skipped\n")
else
    t.eq(why, "again", "a read of bytes out of the page cache")
    t.eq(errno, sys.EAGAIN, "its errno")
    sys.willneed(fd, 0, 8192)
    for _ = 1, 200 do
        n = sys.pread_cached(fd, buf, 8192, 0)
        if n then
            break
        end
        ffi.C.usleep(10000)
    end
    t.eq(n and ffi.string(buf, n), want, "the bytes once the kernel has read them in")
end
t.eq(sys.pread_cached(fd, buf, 8192, 100000), 0, "at the end")
sys.close(fd)
os.execute("rm -rf " .. dir)
