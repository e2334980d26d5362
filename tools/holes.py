#!/usr/bin/env python3
"""Which file systems show a download's unwritten bytes as holes: the front
end streams a miss up to the first hole that lseek(SEEK_HOLE) finds, so a
range that a transfer client reserved (fallocate) or skipped (it writes out
of order) must read as a hole until it is written, before and after a sync.

    holes.py            as root; prints a table, exit 1 when a file system fails

Each file system is made in a temporary directory inside a private mount
namespace (nothing is mounted outside it): a tmpfs, and an ext4 and an xfs
on loop devices over sparse image files; one whose mkfs or loop device is
missing is skipped with the reason. tools/bootstrap.sh installs both mkfs."""

import ctypes
import os
import shutil
import subprocess
import sys
import tempfile

SIZE = 1 << 20          # the file a client downloads
WRITTEN = 100000        # what has arrived of it: not a multiple of a block
BLOCK = 65536
# mkfs.xfs refuses a file system under 300 MiB; the image is sparse.
IMAGE = 320 << 20

libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = (ctypes.c_int, ctypes.c_int, ctypes.c_int64, ctypes.c_int64)


def seek(fd, offset, whence):
    """lseek's answer, or None for ENXIO (no data, or no hole, from offset)."""
    try:
        return os.lseek(fd, offset, whence)
    except OSError:
        return None


def layouts(top):
    """(what, the first hole, where its written bytes end, the data the
    check expects after the hole or None) for each layout a client makes."""
    found = []
    path = os.path.join(top, "reserved")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    if libc.fallocate(fd, 0, 0, SIZE) != 0:
        raise OSError(ctypes.get_errno(), "fallocate " + path)
    os.write(fd, os.urandom(WRITTEN))
    found.append(("reserved, %d bytes written from the start" % WRITTEN, fd, WRITTEN, None))
    path = os.path.join(top, "backward")
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)
    os.pwrite(fd, os.urandom(2 * BLOCK), SIZE - 2 * BLOCK)
    found.append(("the last two 64 KiB blocks written", fd, 0, SIZE - 2 * BLOCK))
    return found


def check(top):
    """Rows of the table for a file system mounted at top; whether it passed."""
    rows, good = [], True
    for when in ("before a sync", "after fsync"):
        for what, fd, written, data in layouts(top):
            if when == "after fsync":
                os.fsync(fd)
            hole = seek(fd, 0, os.SEEK_HOLE)
            after = seek(fd, hole, os.SEEK_DATA) if hole is not None else None
            blksize = os.fstat(fd).st_blksize
            os.close(fd)
            # The written prefix ends inside a block: the hole may begin only
            # at that block's end, which a reader must not take as written.
            ok = hole is not None and written <= hole < written + blksize and hole < SIZE
            ok = ok and (data is None or after == data)
            good &= ok
            rows.append((when, what, hole, after, blksize, "yes" if ok else "NO"))
    return rows, good


def make(kind, top):
    """Mounts a kind of file system at top; None, or why it cannot be made."""
    if kind == "tmpfs":
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", top], check=True)
        return None
    mkfs = shutil.which("mkfs." + kind)
    if not mkfs:
        return "mkfs.%s is not installed" % kind
    image = top + ".img"
    with open(image, "wb") as f:
        f.truncate(IMAGE)
    done = subprocess.run([mkfs, "-q"] + (["-F"] if kind == "ext4" else ["-f"]) + [image],
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode:
        return "mkfs.%s failed: %s" % (kind, done.stdout.strip().splitlines()[-1:])
    done = subprocess.run(["mount", "-o", "loop", image, top], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if done.returncode:
        return "no loop device: %s" % done.stdout.strip()
    return None


def inside():
    results = {}
    with tempfile.TemporaryDirectory(prefix="cachenode-holes.") as tmp:
        for kind in ("tmpfs", "ext4", "xfs"):
            top = os.path.join(tmp, kind)
            os.mkdir(top)
            why = make(kind, top)
            if why:
                results[kind] = ("skipped: " + why, [], True)
                continue
            try:
                rows, good = check(top)
                results[kind] = ("", rows, good)
            finally:
                subprocess.run(["umount", top])
    bad = False
    print("A %d-byte file; the first hole and the data after it, as lseek finds them" % SIZE)
    print("| file system | when | layout | SEEK_HOLE from 0 | SEEK_DATA from it | st_blksize | holes right |")
    print("|---|---|---|---|---|---|---|")
    for kind, (note, rows, good) in results.items():
        if not rows:
            print("| %s | %s | | | | | |" % (kind, note))
        for when, what, hole, after, blksize, ok in rows:
            print("| %s | %s | %s | %s | %s | %d | %s |" % (kind, when, what, hole, after, blksize, ok))
        bad |= not good
    print("kernel %s" % os.uname().release)
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1:] == ["--in"]:
        sys.exit(inside())
    if os.geteuid() != 0:
        print("SKIP: holes.py needs root (a private mount namespace, loop devices)")
        sys.exit(77)
    # A private mount namespace: the mounts vanish with the process.
    os.execvp("unshare", ["unshare", "--mount", "--propagation", "private",
                          sys.executable, "-B", os.path.abspath(__file__), "--in"])
