#!/usr/bin/env python3
"""Faults: an origin that fails, cuts, stalls or is slow (failing); workers
and the whole front end killed mid-download, and more misses than fetch_max
(crash). A fault leaves no file at a cache path, no temporary or spool file
and no fetch process."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, children, client_runs, env, fail,  # noqa: E402
                      fetch_owners, fetch_procs, fetchwraps, file_bytes, files_under, front, get,
                      has_bytes, make_file, notify, relaunch, run, start_front, start_viewer,
                      temp_of, wait_until)

# Downloads that fail: (target, status, curl's exit status; 18 is a cut).
# The group's fetch_idle_timeout is 2 s and its fetch_timeout 4 s.
CUTS = (
    ("/fault/cut/100000/vod/big.mp4", 200, 18),    # cut short by the origin
    ("/fault/stall/100000/vod/big.mp4", 200, 18),  # stalled past fetch_idle_timeout
    ("/fault/stall/0/vod/big.mp4", 504, 0),        # the same before any byte came
    ("/slow/vod/big.mp4", 200, 18),                # longer than fetch_timeout
)


def url(target):
    return "http://%s%s" % (HOST, target)


def failing():
    """A failing origin gives 502 and leaves no directory behind; a download
    that fails after bytes went out cuts the answers; none leaves a file, a
    temporary file or a process."""
    make_file("vod/big.mp4", 2000000)
    for target in ("/fail/a.mp4", "/vod/missing.mp4"):
        answer = get(target)
        check(answer.status == 502, "%s: status %d, not 502" % (target, answer.status))
        folder = os.path.dirname(cache_path(url(target)))
        check(not os.path.exists(folder), "%s: %s left behind" % (target, folder))
    for target, status, rc in CUTS:
        answer = get(target)
        check((answer.status, answer.rc) == (status, rc), "%s: status %d curl %d, not %d curl %d"
              % (target, answer.status, answer.rc, status, rc))
    late_beside_failed()
    # The killed clients and shells finish dying.
    if not wait_until(lambda: not files_under("/node/cache")):
        fail("files left behind: %s" % " ".join(files_under("/node/cache")))
    if not wait_until(lambda: not fetch_procs()):
        fail("a fetch process outlived its download: %s" % fetch_procs())


def late_beside_failed():
    """Regression: a download that failed removed, as empty, the directories
    that another download below them had made and its client had not yet
    written to (the origin answers late); that one then failed too."""
    late = "/fault/late/1000/vod/nest/late.mp4"
    data = make_file("vod/nest/late.mp4", 5000)
    path = cache_path(url(late))
    beside = [t for t in ("/fault/late/1000/vod/nest/missing%d.mp4" % i for i in range(1, 21))
              if os.path.dirname(cache_path(url(t))) == os.path.dirname(path)]
    if not beside:
        fail("no missing file maps beside %s" % path)
        return
    viewer = start_viewer(late, "/tmp/late")
    check(wait_until(lambda: os.path.isdir(os.path.dirname(path))), "the late download made no directory")
    answer = get(beside[0])
    check(answer.status == 502, "a missing file beside a late one: status %d, not 502" % answer.status)
    viewer.communicate()
    check(file_bytes("/tmp/late") == data, "a download lost its directory to a failed one beside it")
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def serving(port):
    """The processes that hold established connections on port."""
    done = subprocess.run(["ss", "-tnp", "state", "established", "( sport = :%s )" % port],
                          stdout=subprocess.PIPE, text=True)
    return {int(pid) for pid in re.findall(r"pid=(\d+)", done.stdout)}


def crash():
    """The worker that runs a download killed with -9: a request of another
    worker takes the download over, and its viewers get the whole file;
    downloads of killed workers that nobody asks for again are stopped and
    removed. Every nginx process of the front end killed with -9
    mid-download: started again, it never serves the partial file. More
    misses than fetch_max at once: never more fetch processes than that, and
    those past the line's time-out get 503 with Retry-After."""
    data = make_file("vod/big.mp4", 1200000)
    target = "/rate/300000/vod/big.mp4"
    path = cache_path(url(target))
    port = front().split(":")[1]
    viewers = []
    # Viewers until one of them is served by a worker that runs no fetch.
    for n in range(1, 13):
        out = "/tmp/v%d" % n
        viewers.append((start_viewer(target, out), out))
        owners = wait_until(fetch_owners)
        if not owners:
            fail("no fetchwrap runs")
            return
        if serving(port) - set(owners):
            break
    for pid in owners:
        os.kill(pid, signal.SIGKILL)
    # One more viewer, in case every one above landed on the killed worker
    # (nginx's accept wakes one worker, often the same one).
    viewers.append((start_viewer(target, "/tmp/v13"), "/tmp/v13"))
    check(wait_until(lambda: client_runs() == 2), "no other worker took the download over")
    for viewer, _ in viewers:
        viewer.communicate()
    check(any(file_bytes(out) == data for _, out in viewers),
          "no viewer of the other worker got the whole file")
    check(file_bytes(path) == data, "the download taken over did not store the whole file")
    orphans()
    restart()
    cap()


def orphans():
    """Regression: downloads whose worker was killed and that nobody asks for
    again were never stopped, their temporary files kept by the guard's
    notification, their spool files left."""
    make_file("vod/o1.mp4", 5000)
    make_file("vod/o2.v1.mp4", 5000)
    stalled = [start_viewer(target, "/dev/null")
               for target in ("/fault/stall/1000/vod/o1.mp4", "/fault/stall/1000/vod/o2.v1.mp4")]
    check(wait_until(lambda: len(fetchwraps()) == 2), "the two stalled downloads did not start")
    path = cache_path(url("/fault/stall/1000/vod/o1.mp4"))
    spool = env("CN_SPOOL")
    check(wait_until(lambda: has_bytes(temp_of(path)) and os.listdir(spool)),
          "the stalled downloads wrote nothing")
    temp = temp_of(path) or ""
    for pid in fetch_owners():
        os.kill(pid, signal.SIGKILL)
    for viewer in stalled:
        viewer.communicate()
    if not wait_until(lambda: "200 OK" in notify(temp)):
        fail("the notification keeps a dead worker's temporary file: %s" % notify(temp))
    if not wait_until(lambda: not fetch_procs() and not os.path.exists(temp) and not os.listdir(spool)):
        fail("a dead worker's downloads were left: %s %s %s"
             % (fetch_procs(), temp if os.path.exists(temp) else "", os.listdir(spool)))


def restart():
    """Every nginx process of the front end killed mid-download; started
    again, it fetches the file anew."""
    target = "/rate/300000/vod/again.mp4"
    data = make_file("vod/again.mp4", 1200000)
    path = cache_path(url(target))
    viewer = start_viewer(target, "/dev/null")
    check(wait_until(lambda: temp_of(path)), "the download did not start")
    with open(os.path.join(env("CN_FRONT_PREFIX"), "master.pid")) as f:
        master = int(f.read())
    for pid in [master] + children(master):
        os.kill(pid, signal.SIGKILL)
    viewer.communicate()
    check(not os.path.exists(path), "a partial file stands at %s" % path)
    if not check(relaunch("front", front().split(":")[1]), "the front end did not start again"):
        return
    answer = get(target)
    check(answer.status == 200 and answer.xcache == "MISS" and answer.body == data,
          "after the restart: %r, or other bytes" % answer)
    check(not temp_of(path), "the killed download's temporary file is left: %s" % temp_of(path))


def cap():
    """Four stalled misses on a front end with fetch_max=2: never more than
    two fetchwraps, and the two past the line's time-out get 503 with
    Retry-After."""
    spare = env("CN_SPARE_PORT")
    if not check(start_front("cap", spare, "fetch_max=2", "fetch_queue_timeout=1", "fetch_idle_timeout=3"),
                 "the front end with fetch_max=2 did not start"):
        return
    for n in range(1, 5):
        make_file("vod/cap%d.mp4" % n, 1000)
    most = 0
    with ThreadPoolExecutor(4) as pool:
        asked = [pool.submit(get, "/fault/stall/0/vod/cap%d.mp4" % n, server="127.0.0.1:" + spare)
                 for n in range(1, 5)]
        while not all(a.done() for a in asked):
            most = max(most, len(fetchwraps()))
            time.sleep(0.03)
    check(most <= 2, "%d fetchwrap processes ran at once with fetch_max=2" % most)
    busy = sum(1 for a in asked if a.result().status == 503 and a.result().headers.get("retry-after") == "1")
    check(busy == 2, "%d of four downloads past the line got 503 with Retry-After" % busy)


GROUPS = {
    "failing": (failing, ["--knob", "fetch_timeout=4", "--knob", "fetch_idle_timeout=2"]),
    "crash": (crash, []),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
