#!/usr/bin/env python3
"""Cache directories on disks of their own (the sandbox's --disks: ext4 on
loop devices, cache_dirs_mounted=on) that go, fail and come back under a
running node: a disk unmounted, one made read-only, one replaced under a
download and one missing when a front end starts (gone); one shut down with
xfs_io, as a disk that answers EIO, while its files are read (failing).
Whatever a disk does, its files are served whole from the others or cut,
never onto the file system under its mount point; health and the metrics
name it; once back (a reload), its files are HITs again."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, env, file_bytes, files_under, get, has_bytes,  # noqa: E402
                      make_file, metrics_text, open_request, origin_bytes, reload_front, run,
                      start_front, start_viewer, stop_front, temp_of, wait_until, workers)

SMALL = 20000
# Above io_thread_min: the thread pool reads it.
LARGE = 300000


def dirs():
    return env("CN_DIRS").split("|")


def device(folder):
    return dict(pair.split(":") for pair in env("CN_DISKS").split("|"))[folder]


def sh(*args):
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    check(done.returncode == 0, "%s: %s" % (" ".join(args), done.stdout.strip()))


def paths_on(folder, count, tag, prefix=""):
    """count origin paths of tag whose request, behind prefix (the origin's
    /slow/), uri2d puts in folder."""
    found, n = [], 0
    while len(found) < count:
        n += 1
        path = "/vod/%s-%d.mp4" % (tag, n)
        if cache_path("http://%s%s%s" % (HOST, prefix, path)).startswith(folder + "/"):
            found.append(path)
    return found


def reload(*knobs):
    """A reload with knobs changed, once only its new workers answer."""
    old = set(workers())
    reload_front("front", *knobs)
    check(wait_until(lambda: workers() and not set(workers()) & old, 10),
          "the old workers are still there after a reload")


def health(server=None):
    answer = get("/cachenode/health", host=None, server=server)
    return answer.status, answer.body.decode(errors="replace").strip()


def says(words, status=200, server=None):
    """Waits until health answers status with words; whether it did."""
    ok = wait_until(lambda: health(server)[0] == status and words in health(server)[1], 10, 0.1)
    return check(ok, "health gave %r, not %d with %r" % (health(server), status, words))


def up_series(folder, value, server=None):
    line = 'cachenode_cache_dir_up{dir="%s"} %d' % (folder, value)
    return check(wait_until(lambda: line in metrics_text(server).splitlines(), 10, 0.1),
                 "metrics lack %s" % line)


def whole(path, what, xcache=None):
    """Asks for path: a whole 200 with the origin's bytes (and xcache)."""
    answer = get(path, timeout=20)
    ok = answer.status == 200 and answer.body == origin_bytes(path) and answer.rc == 0
    return check(ok and (xcache is None or answer.xcache == xcache),
                 "%s %s: %r (wanted a whole 200%s)" % (what, path, answer, xcache and " " + xcache or ""))


def cached(tag, size, per_dir=1):
    """per_dir origin files of size on each directory, asked until HIT:
    directory -> their paths."""
    on = {}
    for folder in dirs():
        on[folder] = paths_on(folder, per_dir, tag + os.path.basename(folder))
        for path in on[folder]:
            make_file(path, size)
            whole(path, "the first ask of", "MISS")
            whole(path, "the second ask of", "HIT")
    return on


def gone():
    d1, d2, d3 = dirs()
    files = cached("g", SMALL, 2)
    large = paths_on(d2, 1, "large")[0]
    make_file(large, LARGE)
    whole(large, "a large file's first ask", "MISS")

    # d2's mount goes, as a disk that died or a mount lost: its mount point
    # is a plain directory of the file system above, which must stay empty.
    sh("umount", "-l", d2)
    says("cache directory %s is out: it is not a mounted file system" % d2)
    up_series(d2, 0)
    up_series(d1, 1)
    for path in files[d2] + [large]:
        whole(path, "a file of the unmounted disk,", "MISS")
        whole(path, "the same again,", "HIT")
        check(has_bytes(cache_path("http://%s%s" % (HOST, path), "%s|%s" % (d1, d3))),
              "%s is not cached on the other disks" % path)
    new = paths_on(d2, 2, "share")
    for path in new:
        make_file(path, SMALL)
        whole(path, "a new file of its share", "MISS")
    for path in files[d1] + files[d3]:
        whole(path, "a file of a disk still up,", "HIT")
    check(not os.listdir(d2), "the mount point holds %s" % os.listdir(d2))

    # stream: its share is downloaded for each viewer and kept nowhere.
    reload("cache_dirs_out=stream")
    streamed = paths_on(d2, 1, "streamed")[0]
    make_file(streamed, SMALL)
    for _ in range(2):
        whole(streamed, "cache_dirs_out=stream:", "MISS")
    kept = [f for f in files_under("/node/cache") if "streamed" in f]
    check(not kept, "a streamed file was kept: %s" % kept)

    # Back: mounted again and a reload finds it; its old files are HITs,
    # but for one purged while it was out.
    sh("mount", "-o", "strictatime,lazytime", device(d2), d2)
    purged = files[d2].pop()
    check(get(purged, method="PURGE").status == 200, "PURGE of %s while its disk was out" % purged)
    rest = cache_path("http://%s%s" % (HOST, purged))[len(d2):]
    left = [d + rest for d in dirs() if os.path.exists(d + rest)]
    check(not left, "a purge left the file of %s at %s" % (purged, left))
    reload("cache_dirs_out=remap")
    says("ok: 3 cache directories")
    up_series(d2, 1)
    whole(purged, "a file purged while its disk was out,", "MISS")
    for path in files[d2] + [large]:
        whole(path, "a file of the disk back,", "HIT")
        check(cache_path("http://%s%s" % (HOST, path)).startswith(d2 + "/"), "%s moved" % path)

    # Read-only: out, its files served from the others; back after a reload.
    sh("mount", "-o", "remount,ro", d3)
    says("cache directory %s is out: it takes no write: Read-only file system" % d3)
    # Its files still read: each worker serves them until its next look at
    # the directories (waits.disks), then maps them over the others.
    check(wait_until(lambda: get(files[d3][0]).xcache == "MISS", 10),
          "a file of the read-only disk is still a HIT")
    whole(files[d3][0], "a file of the read-only disk, mapped anew,", "HIT")
    sh("mount", "-o", "remount,rw", d3)
    reload()
    says("ok: 3 cache directories")
    whole(files[d3][0], "a file of the disk writable again,", "HIT")

    replaced(d1)
    cold_stream(d1)
    lost_at_start(d2)
    log = [line for line in open("/node/front/logs/error.log").read().splitlines() if "[alert]" in line
           or "[emerg]" in line or "[crit]" in line]
    check(not log, "the error log has alerts: %s" % log[:3])


def replaced(d1):
    """A download into d1 whose disk is unmounted and another file system
    mounted in its place: nothing is renamed onto that one, and its viewer
    is cut, not given a clean end."""
    path = paths_on(d1, 1, "replaced", "/slow")[0]
    data = make_file(path, 400000)
    viewer = start_viewer("/slow" + path, "/tmp/replaced")
    if not check(wait_until(lambda: has_bytes("/tmp/replaced"), 10), "the slow download sent nothing"):
        return
    sh("umount", "-l", d1)
    sh("mount", "-t", "tmpfs", "-o", "size=1m,mode=1777", "tmpfs", d1)
    viewer.wait(60)
    got = file_bytes("/tmp/replaced") or b""
    check(viewer.returncode != 0 and data.startswith(got) and len(got) < len(data),
          "the viewer of a download whose disk went: curl %s, %d of %d bytes"
          % (viewer.returncode, len(got), len(data)))
    says("cache directory %s is out: its file system changed" % d1)
    check(not files_under(d1), "the file system in its place holds %s" % files_under(d1))
    sh("umount", d1)
    sh("mount", "-o", "strictatime,lazytime", device(d1), d1)
    reload()
    says("ok: 3 cache directories")


def cold_stream(d1):
    """A streamed miss whose viewer lags behind its download, while the
    file's pages are written out and let go again and again: the viewer is
    sent the whole file, read back from the disk without the worker waiting
    for it."""
    path = paths_on(d1, 1, "cold", "/slow")[0]
    data = make_file(path, 200000)
    viewer = start_viewer("/slow" + path, "/tmp/cold", extra=["--limit-rate", "40k"])
    home = cache_path("http://%s/slow%s" % (HOST, path))
    while viewer.poll() is None:
        for name in [temp_of(home), home]:
            if name and os.path.exists(name):
                subprocess.run(["sh", "-c", 'sync "$0" && dd if="$0" iflag=nocache count=0 status=none', name],
                               stderr=subprocess.DEVNULL)
        wait_until(lambda: viewer.poll() is not None, 0.1)
    got = file_bytes("/tmp/cold")
    check(viewer.returncode == 0 and got == data, "a lagging viewer of a download let go: curl %s, %d of %d bytes"
          % (viewer.returncode, len(got or b""), len(data)))


def lost_at_start(d2):
    """A front end that starts while d2's disk is not mounted maps nothing
    to d2 from its first request."""
    sh("umount", "-l", d2)
    spare = "127.0.0.1:" + env("CN_SPARE_PORT")
    if not check(start_front("late", env("CN_SPARE_PORT")), "a front end did not start without d2"):
        return
    path = paths_on(d2, 1, "late")[0]
    data = make_file(path, SMALL)
    answer = get(path, server=spare)
    check(answer.status == 200 and answer.body == data, "the first request without d2: %r" % answer)
    check(not os.listdir(d2), "the mount point holds %s" % os.listdir(d2))
    says("cache directory %s is out: it is not a mounted file system" % d2, server=spare)
    stop_front("late")
    sh("mount", "-o", "strictatime,lazytime", device(d2), d2)


def failing():
    d1, d2, d3 = dirs()
    files = cached("f", SMALL)
    # Larger than the socket buffers can hold, read slowly.
    big = paths_on(d2, 1, "big")[0]
    data = make_file(big, 8 << 20)
    whole(big, "a large file's first ask", "MISS")
    miss = paths_on(d2, 1, "slowmiss", "/slow")[0]
    miss_data = make_file(miss, 1000000)

    # A HIT read slowly: a small window keeps nginx from sending more than
    # a few hundred kB ahead, so that most of the file is still to be read.
    reader = open_request(big, rcvbuf=16384)
    reader.settimeout(30)
    head = reader.recv(65536)
    streamed = start_viewer("/slow" + miss, "/tmp/slowmiss")
    if not check(wait_until(lambda: has_bytes("/tmp/slowmiss"), 10), "the streamed miss sent nothing"):
        return
    sh("xfs_io", "-x", "-c", "shutdown", d2)
    # The disk answers EIO from now on: each reader is cut, never told that
    # a part was the whole, and nothing waits for ever.
    while True:
        piece = reader.recv(65536)
        if not piece:
            break
        head += piece
    reader.close()
    header, _, body = head.partition(b"\r\n\r\n")
    check(b"200 OK" in header.split(b"\r\n")[0] and b"Content-Length: %d" % len(data) in header
          and len(body) < len(data) and data.startswith(body),
          "a HIT being read when its disk failed: %r, %d of %d bytes, a prefix: %s"
          % (header.split(b"\r\n")[0], len(body), len(data), data.startswith(body)))
    streamed.wait(60)
    got = file_bytes("/tmp/slowmiss") or b""
    check(streamed.returncode not in (0, None) and len(got) < len(miss_data) and miss_data.startswith(got),
          "a streamed miss when its disk failed: curl %s, %d of %d bytes, a prefix: %s"
          % (streamed.returncode, len(got), len(miss_data), miss_data.startswith(got)))
    says("cache directory %s is out" % d2)
    up_series(d2, 0)
    # Its files come from the origin onto the others, each whole, none late.
    for path in files[d2] + [big]:
        whole(path, "a file of the failed disk,", "MISS")
        whole(path, "the same again,", "HIT")
    for path in files[d1] + files[d3]:
        whole(path, "a file of a disk still up,", "HIT")
    text = health()[1]
    check("it takes no write: Input/output error" in text or "Input/output error" in text,
          "health does not say why: %r" % text)


GROUPS = {
    "disk_gone": (gone, ["--dirs", "3", "--disks", "ext4:32M", "--knob", "cache_dirs_mounted=on"]),
    "disk_failing": (failing, ["--dirs", "3", "--disks", "ext4:32M", "--knob", "cache_dirs_mounted=on"]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
