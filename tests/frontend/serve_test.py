#!/usr/bin/env python3
"""Serving files: MISS then HIT over many URLs, directories and sites, byte
ranges, HEAD and a player's view of a real MP4 (serve); viewers of one
download while it runs (concurrent); the CORS headers of every kind of
answer and the preflight, with cors_origins *, a list and off (cors)."""

import os
import random
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, SITES, cache_path, check, client_log, client_runs, env,  # noqa: E402
                      fetchwraps, file_bytes, files_under, front, get, get_all, has_bytes,
                      free_ports, make_file, metrics_text, notify, origin_bytes, run, start_front, start_viewer,
                      temp_of, wait_until)

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


# A player's page and the node are on different names: its requests carry
# Origin, and it may read an answer only with Access-Control-Allow-Origin.
PAGE = "https://www.site.example"
EXPOSED = "Content-Length, Content-Range, Accept-Ranges, Date, ETag, X-Cache"
# Each kind of answer a site gives, from each location that answers one
# (the HIT locations of .mp4, .flv and the rest, @miss, and @cached of each):
# (what, target, request headers, method, status, X-Cache). Each front end's
# files are its own (below /NAME/); {etag} is its HIT's ETag.
ANSWERS = (
    ("HIT", "/hit.mp4", (), None, 200, "HIT"),
    ("HIT, a range", "/hit.ts", ("Range: bytes=0-99",), None, 206, "HIT"),
    ("HIT, not modified", "/hit.mp4", ("If-None-Match: {etag}",), None, 304, "HIT"),
    ("HIT, HEAD", "/hit.flv", (), "HEAD", 200, "HIT"),
    ("HIT of an unreadable file", "/locked.ts", (), None, 403, ""),
    ("streamed MISS", "/slow/PREFIX/streamed.mp4", (), None, 200, "MISS"),
    ("MISS served whole after its download", "/whole.ts", ("Range: bytes=100-",), None, 206, "MISS"),
    ("MISS served whole after its download", "/whole.mp4", ("Range: bytes=100-",), None, 206, "MISS"),
    ("MISS served whole after its download", "/whole.flv", ("Range: bytes=100-",), None, 206, "MISS"),
    ("MISS, HEAD", "/head.mp4", (), "HEAD", 200, "MISS"),
    ("refused", "/noextension", (), None, 400, ""),
    ("another site", "/hit.mp4", ("Host: evil.example",), None, 421, ""),
    ("failed download", "/fail/PREFIX/x.mp4", (), None, 502, ""),
    ("OPTIONS without a preflight's method", "/hit.mp4", (), "OPTIONS", 405, ""),
)
# Answers that carry no CORS header whatever the knob, the operator's:
# (what, target, Host, method, status).
OPERATOR = (
    ("PURGE", "PREFIX/purged.mp4", HOST, "PURGE", 200),
    ("metrics", "/cachenode/metrics", None, None, 200),
    ("health", "/cachenode/health", None, None, 200),
    ("ACME", "/.well-known/acme-challenge/none", HOST, None, 404),
)
PREFLIGHT = ("Access-Control-Request-Method: GET", "Access-Control-Request-Headers: range")


def cors_of(answer):
    """The CORS headers of answer that the checks compare."""
    return tuple(answer.headers.get(name) for name in (
        "access-control-allow-origin", "access-control-expose-headers", "vary"))


def target_of(prefix, target):
    """target of a table for the front end whose files are below /prefix/."""
    return target.replace("PREFIX", prefix) if "PREFIX" in target else "/" + prefix + target


def requests_counted(server):
    """The sum of the cachenode_requests_total series of the front end at
    server, once every worker has handed over its counts (every second)."""
    time.sleep(1.5)
    return sum(float(line.split()[-1]) for line in metrics_text(server).splitlines()
               if line.startswith("cachenode_requests_total{"))


def cors_answers(name, server, origin, want):
    """Every kind of answer of the front end at server (its files below
    /name/), asked with Origin origin, carries the CORS headers want; the
    operator's carry none. Then a 429 from client_misses (1) while a
    stalled download holds the client's one."""
    prefix = "/" + name
    for target in ("hit.mp4", "hit.ts", "hit.flv", "locked.ts", "purged.mp4", "whole.ts", "whole.mp4",
                   "whole.flv", "head.mp4", "streamed.mp4", "held.mp4"):
        make_file(name + "/" + target, 100000)
    for target in ("/hit.mp4", "/hit.ts", "/hit.flv", "/locked.ts", "/purged.mp4"):
        check(get(prefix + target, server=server).status == 200, "%s: %s not cached" % (name, target))
    os.chmod(cache_path("http://%s%s/locked.ts" % (HOST, prefix)), 0)
    etag = get(prefix + "/hit.mp4", server=server).headers.get("etag", "")
    sent = ("Origin: " + origin,) if origin else ()
    for what, target, headers, method, status, xcache in ANSWERS:
        headers = tuple(h.format(etag=etag) for h in headers)
        answer = get(target_of(name, target), headers=sent + headers, method=method, server=server)
        check((answer.status, answer.xcache) == (status, xcache) and cors_of(answer) == want,
              "%s, Origin %s: %s: %r with %s, not %d %s with %s"
              % (name, origin, what, answer, cors_of(answer), status, xcache, want))
        if what == "streamed MISS":
            check(answer.headers.get("transfer-encoding") == "chunked", "%s: the MISS was not streamed" % name)
        # client_misses is 1: the next miss must not meet this one's download.
        wait_until(lambda: not fetchwraps())
    for what, target, host, method, status in OPERATOR:
        answer = get(target.replace("PREFIX", prefix), headers=sent, method=method, server=server, host=host)
        check(answer.status == status and cors_of(answer) == (None, None, None),
              "%s: %s: %r with %s" % (name, what, answer, cors_of(answer)))
    held = start_viewer("/fault/stall/1000%s/held.mp4" % prefix, "/dev/null", server=server)
    check(wait_until(lambda: fetchwraps()), "%s: the held download did not start" % name)
    answer = get(prefix + "/streamed.mp4", headers=sent, server=server)
    check(answer.status == 429 and cors_of(answer) == want,
          "%s: beyond client_misses: %r with %s" % (name, answer, cors_of(answer)))
    held.kill()
    held.wait()
    get("/fault/stall/1000%s/held.mp4" % prefix, method="PURGE", server=server)
    check(wait_until(lambda: not fetchwraps()), "%s: the purged download runs on" % name)


def preflights(name, server, asks):
    """asks: (Origin, the status, Access-Control-Allow-Origin and Vary a
    preflight gets). None starts a download, writes a file or counts as a
    request."""
    runs, files, counted = client_runs(), files_under("/node/cache"), requests_counted(server)
    for origin, status, allowed, vary in asks:
        answer = get("/%s/never.mp4" % name, headers=("Origin: " + origin,) + PREFLIGHT, method="OPTIONS",
                     server=server)
        got = (answer.status, answer.headers.get("access-control-allow-origin"), answer.headers.get("vary"))
        check(got == (status, allowed, vary), "%s: preflight from %s: %r, not %s"
              % (name, origin, got, (status, allowed, vary)))
        if status == 204:
            methods = answer.headers.get("access-control-allow-methods", "")
            headers = answer.headers.get("access-control-allow-headers", "")
            check(methods == "GET, HEAD, OPTIONS" and all(h in headers for h in (
                "Range", "If-Range", "If-None-Match", "If-Modified-Since"))
                and answer.headers.get("access-control-max-age", "").isdigit(),
                "%s: preflight: methods '%s', headers '%s', max age '%s'" % (
                    name, methods, headers, answer.headers.get("access-control-max-age")))
    now = requests_counted(server)
    check(client_runs() == runs and files_under("/node/cache") == files,
          "%s: a preflight started a download (%d) or wrote a file: %s" % (
              name, client_runs() - runs, sorted(set(files_under("/node/cache")) ^ set(files))))
    check(now == counted, "%s: preflights counted as requests (%s, then %s)" % (name, counted, now))


def cors():
    """With cors_origins * (the template's), a list and off: the CORS
    headers of each kind of answer, from a page's Origin and without one;
    the operator's answers carry none; preflights answered 204 (405 with
    off), never a download, a file or a count."""
    star = ("*", EXPOSED, None)
    cors_answers("star", front(), PAGE, star)
    check(cors_of(get("/star/hit.mp4")) == star, "cors_origins *: a HIT without Origin: %s"
          % (cors_of(get("/star/hit.mp4")),))
    preflights("star", front(), ((PAGE, 204, "*", None),))

    port = int(env("CN_SPARE_PORT"))
    listed = "127.0.0.1:%d" % port
    if not check(start_front("listed", port, "cors_origins=%s|https://b.example:8443" % PAGE),
                 "the front end with a list of origins did not start"):
        return
    cors_answers("listed", listed, PAGE, (PAGE, EXPOSED, "Origin"))
    for origin, want in (("https://b.example:8443", "https://b.example:8443"), ("https://evil.example", None),
                         ("https://www.site.example.evil.example", None), (None, None)):
        answer = get("/listed/hit.mp4", headers=("Origin: " + origin,) if origin else (), server=listed)
        check(cors_of(answer) == (want, want and EXPOSED, "Origin"),
              "a list, Origin %s: %s" % (origin, cors_of(answer)))
    preflights("listed", listed, ((PAGE, 204, PAGE, "Origin"), ("https://evil.example", 204, None, "Origin")))

    port = free_ports(1)[0]
    off = "127.0.0.1:%d" % port
    if not check(start_front("off", port, "cors_origins=off"), "the front end with cors_origins=off did not start"):
        return
    cors_answers("off", off, PAGE, (None, None, None))
    preflights("off", off, ((PAGE, 405, None, None),))


GROUPS = {
    "serve": (serve, ["--dirs", "4"]),
    "concurrent": (concurrent, []),
    "cors": (cors, ["--knob", "client_misses=1", "--knob", "acme_webroot=/tmp/acme"]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
