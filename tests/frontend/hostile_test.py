#!/usr/bin/env python3
"""Hostile requests and knobs: refused requests that fetch and write nothing,
requests that could get another URL's bytes or steer the node's downloads,
other sites, and knobs that nginx must refuse to start with."""

import os
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, client_log, client_runs, env, error_log,  # noqa: E402
                      fail, files_under, get, get_all, make_file, origin_bytes, run, start_front,
                      stop_front, wait_until, written_since)

LONG = "a" * 1100  # beyond the library's limits on a name and a site

# Each answers 400, fetches nothing and writes nothing.
REFUSED = (
    "/vod/../vod/a.mp4", "/vod/./a.mp4", "/../../etc/passwd.mp4", "/vod/%2e%2e/vod/a.mp4",
    "/vod/%2E%2e/a.mp4", "/vod/%2e/a.mp4", "/%2e%2e/%2e%2e/etc/passwd.mp4", "/vod/a%00.mp4",
    "/vod/a", "/vod.d/a", "/", "/vod/a%zz.mp4", "/vod//a.mp4", "/a:b/a.mp4", "/vod/%s.mp4" % LONG,
    '/vod/a"b.mp4', "/vod/a\\b.mp4", "/vod/a{b}.mp4", "/vod/a<b>.mp4",
)

# Knobs that would let cache paths differ from the names checkdisk's walk
# gives, or that cachekit would refuse: (knob, what the error log says).
BAD_KNOBS = (
    ("cache_dirs=/node/cache/d1/", "must be absolute and must not end in '/'"),
    ("cache_dirs=/node/cache/d1|/node/cache/../cache/d2", "must not hold a '.' or '..' piece"),
    ("guard_max_files=0", "guard_max_files must be a whole number from 1 to 1000000000"),
    ("hosts=10.1.2.3", "is an IP address, not a site's name"),
)


def owns(answer, target):
    """Whether answer is 200 with target's own bytes."""
    return answer.status == 200 and answer.body == origin_bytes(target)


def hostile():
    """Refused requests, then requests that could get another URL's bytes or
    choose the download: each gets its own URL's bytes, the query never
    reaches the origin, another site gets 421 and starts no client; then the
    knobs."""
    make_file("vod/a.mp4", 1000)
    with open("/tmp/start", "w"):
        pass
    for target, answer in zip(REFUSED, get_all(REFUSED)):
        check(answer.status == 400, "%s: status %d, not 400" % (target[:60], answer.status))
    for host in ("..", "a/b"):
        answer = get("/vod/a.mp4", host=host)
        check(answer.status == 400, "Host %s: status %d, not 400" % (host, answer.status))
    answer = get("/vod/a.mp4", method="POST")
    check(answer.status == 405, "POST: status %d, not 405" % answer.status)
    answer = get("/vod/a.mp4", headers=("Host:",), extra=("--http1.0",))
    check(answer.status == 400, "no Host header: status %d, not 400" % answer.status)
    check(client_runs() == 0, "the client ran: %s" % client_log())
    made = written_since("/tmp/start", ("/tmp", "/node/front/logs", "/node/origin/logs"))
    check(not made, "written: %s" % " ".join(made[:10]))
    steering()
    other_sites()
    for n, (knob, why) in enumerate(BAD_KNOBS):
        name = "badknob%d" % n
        if start_front(name, env("CN_SPARE_PORT"), knob):
            fail("%s: nginx started" % knob)
            stop_front(name)
        check(why in error_log("/node/" + name), "%s: error log does not say '%s'" % (knob, why))


def steering():
    """Requests that could get another URL's bytes or steer the node's
    downloads."""
    make_file("q/x.mp4", 100000)
    make_file("k/clip.v1.mp4", 3000)
    make_file("k/clip.v1.jpg", 2000)
    make_file("t/p1.mp4", 5000)
    make_file("vod/m3.mp4", 7000)
    make_file("vod/m4.mp4", 4000)
    os.makedirs(cache_path("http://%s/vod/m4.mp4" % HOST))
    answer = get("/q/x.mp4?token=30")
    check(owns(answer, "/q/x.mp4"), "a query reached the download: %r" % answer)
    answer = get("/q/x.mp4")
    check(answer.xcache == "HIT" and owns(answer, "/q/x.mp4"), "after a query, the plain URL: %r" % answer)
    for target in ("/k/clip.v1.mp4", "/k/clip.v1.jpg", "/k/clip.v1.mp4"):
        answer = get(target)
        check(answer.xcache == "MISS" and owns(answer, target), "second extension %s: %r" % (target, answer))
    # Regression: a HEAD or a range ended before the uncached download did,
    # which then kept its spool file.
    for _ in range(5):
        get("/k/clip.v1.mp4", method="HEAD")
        get("/k/clip.v1.mp4", extra=("-r", "0-99"))
    check(not os.path.exists(cache_path("http://%s/k/clip.v1.mp4" % HOST)),
          "a name the cache cannot hold whole was kept")
    if not wait_until(lambda: not os.listdir(env("CN_SPOOL"))):
        fail("spool files left: %s" % " ".join(os.listdir(env("CN_SPOOL"))))
    runs = client_runs()
    for i in range(1, 6):
        answer = get("/t/p1.mp4?cb=/t/p%d.mp4" % i)
        check(owns(answer, "/t/p1.mp4"), "query holding '/' (%d): %r" % (i, answer))
    made = client_runs() - runs
    check(made == 1, "five queries holding '/' made %d downloads" % made)
    asked = [path for path in files_under("/node/cache") if "?" in path]
    check(not asked, "a cache path holds '?': %s" % " ".join(asked))
    answer = get("/vod/m3.mp4/n8.mp4")
    check(answer.status == 502 and not os.path.exists(os.path.dirname(
        cache_path("http://%s/vod/m3.mp4/n8.mp4" % HOST))),
        "a failed nested download (status %d) left its directory" % answer.status)
    answer = get("/vod/m3.mp4")
    check(owns(answer, "/vod/m3.mp4"), "after a failed nested download: %r" % answer)
    answer = get("/vod/m4.mp4")
    check(answer.xcache == "MISS" and owns(answer, "/vod/m4.mp4") and "location" not in answer.headers,
          "a directory where the file belongs: %r, Location '%s'"
          % (answer, answer.headers.get("location", "")))
    answer = get("/redirect/vod/a.mp4")
    check(answer.status == 502 and not os.path.exists(cache_path("http://%s/redirect/vod/a.mp4" % HOST)),
          "a redirect at the origin: %r, or stored" % answer)


def other_sites():
    """Sites the node does not serve get 421 and start no client."""
    runs = client_runs()
    for host in ("evil.example", "node7.evil.example", "169.254.169.254", "10.1.2.3"):
        answer = get("/vod/a.mp4", host=host)
        check(answer.status == 421, "Host %s: status %d, not 421" % (host, answer.status))
    answer = get("/vod/a.mp4", extra=("--request-target", "http://evil.example/vod/a.mp4"))
    check(answer.status == 421, "absolute-form request for another site: status %d, not 421" % answer.status)
    answer = get("/vod/a.mp4", host=LONG)
    check(answer.status == 400, "a Host beyond the library's limits: status %d, not 400" % answer.status)
    check(client_runs() == runs, "the client ran for another site: %s" % client_log().splitlines()[-1:])


GROUPS = {
    "hostile": (hostile, []),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
