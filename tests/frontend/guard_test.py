#!/usr/bin/env python3
"""The disk guard on a 16 MiB tmpfs (always below 1 GiB free): checkdisk for
each directory removes its oldest files, except the temporary file of a
download still running, which the front end's notification keeps; the guard's
metrics count the removals."""

import os
import re
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, env, fail, file_bytes, get, has_bytes,  # noqa: E402
                      make_file, metrics_text, run, start_front, stop_front, temp_of, wait_until)

OLD = 1500000000  # access times long past, in the order the test wants
MAX_FILES = 3


def set_atime(path, seconds):
    os.utime(path, ns=(seconds * 10**9, os.stat(path).st_mtime_ns))


def autodel_log():
    """The guard's log, each line cut to 'autodel PATH' or 'can not autodel
    PATH'."""
    cut = []
    for line in (file_bytes(env("CN_AUTODEL")) or b"").decode(errors="replace").splitlines():
        found = re.match(r".* (can not autodel .*)$", line) or re.match(r".* (autodel .*)$", line)
        cut.append(found.group(1) if found else line)
    return cut


def evict():
    """Eight cached files and a running download's temporary file with set
    access times, then one run of the guard with guard_max_files=3."""
    paths = []
    for n in range(1, 9):
        make_file("vod/e%d.mp4" % n, 5000)
        answer = get("/vod/e%d.mp4" % n)
        check(answer.status == 200, "/vod/e%d.mp4: %r" % (n, answer))
        path = cache_path("http://%s/vod/e%d.mp4" % (HOST, n))
        set_atime(path, OLD + n)
        paths.append(path)
    # 1 MB at 64 kB/s: the fetch runs for about 16 s, far longer than the
    # check. HEAD starts it and reads nothing, which would set the temporary
    # file's access time.
    make_file("vod/fetching.mp4", 1000000)
    get("/slow/vod/fetching.mp4", method="HEAD")
    slow = cache_path("http://%s/slow/vod/fetching.mp4" % HOST)
    if not wait_until(lambda: has_bytes(temp_of(slow))):
        fail("the slow fetch wrote nothing")
        return
    temp = temp_of(slow)
    set_atime(temp, OLD)
    paths.append(temp)

    # Expected log: for each directory in list order, its oldest files.
    dirs = env("CN_DIRS").split("|")
    expect = []
    for folder in dirs:
        oldest = sorted((os.stat(p).st_atime, p) for p in paths if p.startswith(folder + "/"))
        expect += [("can not autodel " if p == temp else "autodel ") + p for _, p in oldest[:MAX_FILES]]

    # A second front end on the same node runs the guard (the first one's
    # guard is off), so that it starts only now that the files are in place.
    # Its first run comes after 4 s, the next at the first 4 s tick after the
    # first has ended (a tick while one runs is skipped) and would remove
    # more files: the log and the files are looked at as soon as the log
    # holds the first run, the metrics after.
    spare = env("CN_SPARE_PORT")
    if not check(start_front("guard", spare, "guard_interval=4", "guard_min_free_gb=1",
                             "guard_max_files=%d" % MAX_FILES), "the front end with the guard did not start"):
        return
    wait_until(lambda: len(autodel_log()) >= len(expect), 30, 0.05)
    got = autodel_log()[:len(expect)]
    check(got == expect, "eviction log: got [%s] expected [%s]" % ("; ".join(got), "; ".join(expect)))
    for path in paths:
        if "autodel " + path in expect:
            check(not os.path.exists(path), "%s was not removed" % path)
        else:
            check(os.path.exists(path), "%s was removed" % path)
    # Its metrics count each directory's removals once checkdisk has ended.
    for folder in dirs:
        removed = sum(1 for line in expect if line.startswith("autodel %s/" % folder))
        series = 'cachenode_guard_removed_files_total{dir="%s"} %d' % (folder, removed)
        check(wait_until(lambda: series in metrics_text("127.0.0.1:" + spare).splitlines()),
              "metrics: %s's removals are not %d" % (folder, removed))
    stop_front("guard")

GROUPS = {
    "evict": (evict, ["--dirs", "2", "--cache-size", "16m"]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
