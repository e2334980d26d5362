#!/usr/bin/env python3
"""Serving files: MISS then HIT over many URLs, directories and sites, byte
ranges, HEAD and a player's view of a real MP4 (serve); viewers of one
download while it runs (concurrent)."""

import os
import random
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, SITES, cache_path, check, client_log, client_runs, env,  # noqa: E402
                      file_bytes, files_under, front, get, get_all, has_bytes, make_file,
                      notify, origin_bytes, run, start_viewer, temp_of, wait_until)

OTHER = SITES[1]


def serve():
    """MISS (six at a time) then HIT for 28 URLs over four directories and two
    sites: bytes equal to the origin's, the file exactly at uri2d's path, one
    client run per file; a query string does not change the cache file; byte
    ranges on a MISS and on a HIT; HEAD."""
    targets = []
    for i in range(10, 34):
        make_file("vod/s%d/clip%d.mp4" % (i, i), random.randrange(32768) * 3 + i)
        targets.append("/vod/s%d/clip%d.mp4" % (i, i))
    make_file("live/seg-7.ts", 18800)
    make_file("live/index.m3u8", 300)
    targets += ["/live/seg-7.ts", "/live/index.m3u8"]
    # The same files under another site are other cache files.
    others = ["/live/seg-7.ts", "/live/index.m3u8"]
    asked = [(HOST, t) for t in targets] + [(OTHER, t) for t in others]
    for want in ("MISS", "HIT"):
        parallel = 6 if want == "MISS" else 0
        answers = get_all(targets, parallel=parallel) + get_all(others, host=OTHER, parallel=parallel)
        for (host, target), answer in zip(asked, answers):
            if not check(answer.status == 200 and answer.xcache == want,
                         "%s pass %s%s: %r" % (want, host, target, answer)):
                continue
            check(answer.body == origin_bytes(target),
                  "%s%s: body differs from the origin's" % (host, target))
            if want == "MISS":
                path = cache_path("http://%s%s" % (host, target))
                check(file_bytes(path) == origin_bytes(target),
                      "%s%s: no exact copy at uri2d's path %s" % (host, target, path))
    check(client_runs() == len(asked), "%d client runs for %d files" % (client_runs(), len(asked)))
    used = sum(1 for folder in env("CN_DIRS").split("|") if files_under(folder))
    check(used >= 3, "files landed in only %d of the four directories" % used)
    held = len(files_under("/node/cache"))
    check(held == len(asked), "the cache holds %d files, not %d" % (held, len(asked)))
    answer = get("/vod/s10/clip10.mp4?x=30")
    check(answer.status == 200 and answer.xcache == "HIT"
          and answer.body == origin_bytes("/vod/s10/clip10.mp4"), "query string: %r" % answer)

    # A first request with a Range fetches the whole file and answers 206; a
    # HIT with a Range answers exactly those bytes.
    data = make_file("vod/range.mp4", 100000)
    path = cache_path("http://%s/vod/range.mp4" % HOST)
    for want in ("MISS", "HIT"):
        answer = get("/vod/range.mp4", headers=("Range: bytes=1000-1999",))
        check(answer.status == 206 and answer.xcache == want, "Range %s: %r" % (want, answer))
        check(answer.body == data[1000:2000], "Range %s: not bytes 1000-1999" % want)
        # The range may be answered before the download ends.
        wait_until(lambda: os.path.exists(path))
    check(file_bytes(path) == data, "a Range request on a MISS did not store the whole file")
    answer = get("/vod/range.mp4", method="HEAD")
    check(answer.status == 200 and answer.xcache == "HIT"
          and answer.headers.get("content-length") == "100000", "HEAD: %r" % answer)
    player()


def player():
    """A real six-second MP4, read whole and with ?start=4 (nginx's mp4
    module: two seconds left) once cached, and as a miss whose index sits at
    the end, so that the player asks a range near the end while the download
    runs."""
    if not shutil.which("ffmpeg"):
        print("ffmpeg is not installed: no player checks")
        return
    folder = os.path.join(env("CN_FILES"), "play")
    os.makedirs(folder)
    # About 330 kB: at 200 kB/s the player finds the index's place long
    # before the download ends.
    subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi",
                    "-i", "testsrc=duration=6:size=640x480:rate=25", "-c:v", "libx264",
                    "-b:v", "1M", "-g", "25", "-pix_fmt", "yuv420p", folder + "/end.mp4"], check=True)
    subprocess.run(["ffmpeg", "-loglevel", "error", "-i", folder + "/end.mp4", "-c", "copy",
                    "-movflags", "+faststart", folder + "/start.mp4"], check=True)
    get("/play/start.mp4")
    for target, seconds in (("/play/start.mp4", "6"), ("/play/start.mp4?start=4", "2"),
                            ("/rate/200000/play/end.mp4", "6")):
        probe = subprocess.run(["ffprobe", "-v", "error", "-headers", "Host: %s\r\n" % HOST,
                                "-show_entries", "format=duration", "-of", "csv=p=0",
                                "http://%s%s" % (front(), target)], stdout=subprocess.PIPE, text=True)
        whole = probe.stdout.strip().split(".")[0]
        check(whole == seconds, "ffprobe %s: duration %s, not %s s" % (target, whole or "none", seconds))


def concurrent():
    """Eight clients ask at once for a file that the origin sends over about
    four seconds: one client run; each has its first bytes while the download
    still runs, and so does a viewer who joins later; all get the whole file.
    During the download a closed range is answered from the bytes there (206,
    length unknown), HEAD answers, and the notification answers 409 for the
    temporary file and 200 OK for another file."""
    # The origin sends the first 64 kB at once, then 64 kB/s.
    data = make_file("slowfile.mp4", 300000)
    path = cache_path("http://%s/slow/slowfile.mp4" % HOST)
    outs = ["/tmp/c%d" % n for n in range(1, 10)]
    viewers = [start_viewer("/slow/slowfile.mp4", out) for out in outs[:8]]
    check(wait_until(lambda: all(has_bytes(out) for out in outs[:8])), "not every viewer has bytes")
    temp = temp_of(path) or ""
    check(temp and not os.path.exists(path), "the download ended before every viewer had bytes")
    viewers.append(start_viewer("/slow/slowfile.mp4", outs[8]))
    check(wait_until(lambda: has_bytes(outs[8])), "the viewer who joined has no bytes")
    answer = get("/slow/slowfile.mp4", headers=("Range: bytes=1000-1999",))
    check(answer.status == 206 and answer.xcache == "MISS"
          and answer.headers.get("content-range") == "bytes 1000-1999/*"
          and answer.body == data[1000:2000], "closed range during the download: %r" % answer)
    answer = get("/slow/slowfile.mp4", method="HEAD")
    check(answer.status == 200 and answer.xcache == "MISS", "HEAD during the download: %r" % answer)
    head = notify(temp)
    check(" 409 " in head, "notification for the temporary file answered '%s'" % head)
    head = notify("/node/cache/d1/x/y.mp4")
    check("200 OK" in head, "notification for an idle file answered '%s'" % head)
    check(not os.path.exists(path), "the download ended before the range, HEAD and notification were asked")
    for n, (viewer, out) in enumerate(zip(viewers, outs), 1):
        said = viewer.communicate()[0]
        check(said == "200 MISS", "viewer %d got %s" % (n, said))
        check(file_bytes(out) == data, "viewer %d got other bytes" % n)
    check(client_runs() == 1, "%d client runs for one file: %s" % (client_runs(), client_log()))
    head = notify(path)
    check("200 OK" in head, "notification after the fetch answered '%s'" % head)


GROUPS = {
    "serve": (serve, ["--dirs", "4"]),
    "concurrent": (concurrent, []),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
