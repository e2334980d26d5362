#!/usr/bin/env python3
"""Hostile requests and knobs: refused requests that fetch and write nothing,
requests that could get another URL's bytes or steer the node's downloads,
other sites, and knobs that nginx must refuse to start with (hostile); the
spellings of one URL (spellings); requests during a download that could get
a wrong or cut answer, and transfer clients that lay their output out of
order (midstream)."""

import os
import subprocess
import sys

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, client_log, client_runs, curl_args,  # noqa: E402
                      env, error_log, fail, file_bytes, files_under, front, get, get_all, has_bytes,
                      is_temp, make_file, origin_bytes, run, start_front, start_viewer, stop_front,
                      temp_of, wait_until, written_since)

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


# One URL spelt 17 ways (RFC 3986 6.2.2: an escape of an unreserved
# character is that character, hex digits in either case); the first asked
# is the one that downloads.
SPELLINGS = (
    "/vod/bust.mp%34", "/vod/bust.mp4", "/%76od/bust.mp4", "/v%6Fd/bust.mp4", "/v%6fd/bust.mp4",
    "/vo%64/bust.mp4", "/vod/%62ust.mp4", "/vod/b%75st.mp4", "/vod/bu%73t.mp4", "/vod/bus%74.mp4",
    "/vod/bust%2Emp4", "/vod/bust%2emp4", "/vod/bust.%6Dp4", "/vod/bust.%6dp4", "/vod/bust.m%70%34",
    "/%76%6F%64/%62%75%73%74%2E%6D%70%34", "/%76%6f%64/%62%75%73%74%2e%6d%70%34",
)
# The other unreserved characters, and escapes of reserved ones, which keep
# their meaning: (first asked, the same URL spelt otherwise).
SAME = (
    ("/vod/a-b_c~d.mp4", "/vod/a%2Db%5fc%7Ed.mp4"),
    ("/vod/sp%2fce.mp4", "/vod/sp%2Fce.mp4"),
)
OTHER_URLS = ("/vod%2Fbust.mp4", "/vod/bust.mp4%3Fx=1")
# The stand-in client's layouts: (target, the origin's file, its size).
WRITE_ORDERS = (
    ("/prealloc/rate/500000/vod/pa.mp4", "vod/pa.mp4", 1500000),  # its length reserved first
    ("/backward/vod/bw.mp4", "vod/bw.mp4", 1000000),              # its blocks from the last
)


def url(target):
    return "http://%s%s" % (HOST, target)


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


def spellings():
    """17 spellings of one 2 MB file, one after the other: one download and
    one cache file, at the path of the plain spelling; then the other
    unreserved characters, and reserved characters whose escapes keep their
    meaning."""
    data = make_file("vod/bust.mp4", 2000000)
    runs = client_runs()
    for n, target in enumerate(SPELLINGS):
        answer = get(target)
        check(answer.status == 200 and answer.body == data, "%s: %r" % (target, answer))
        check(n == 0 or answer.xcache == "HIT", "%s after %s: X-Cache '%s'"
              % (target, SPELLINGS[0], answer.xcache))
    made = client_runs() - runs
    check(made == 1, "%d spellings made %d downloads" % (len(SPELLINGS), made))
    stored = [path for path in files_under("/node/cache") if "bust" in path]
    check(stored == [cache_path(url("/vod/bust.mp4"))], "cache files of one URL: %s" % stored)
    make_file("vod/a-b_c~d.mp4", 3000)
    make_file("vod/sp/ce.mp4", 3000)
    for first, again in SAME:
        before, after = get(first), get(again)
        check(before.status == after.status and (before.status != 200 or after.xcache == "HIT"),
              "%s after %s: %r, then %r" % (again, first, before, after))
    for target in OTHER_URLS:
        answer = get(target)
        check(answer.xcache != "HIT", "%s is the cached /vod/bust.mp4: %r" % (target, answer))


def midstream():
    """During a download: If-Range with a validator that cannot match gets
    the whole 200 stream, not the range; a GET after a PURGE on the same
    connection starts a new download and gets the whole file. Streamed
    viewers get the right bytes from a client that reserves its file's
    length first, and from one that writes its blocks from the last."""
    data = make_file("vod/ir.mp4", 1500000)
    target = "/rate/500000/vod/ir.mp4"
    first = start_viewer(target, "/dev/null")
    check(wait_until(lambda: has_bytes(temp_of(cache_path(url(target))))), "the download did not start")
    for validator in ('"stale"', "Wed, 21 Oct 2015 07:28:00 GMT"):
        answer = get(target, headers=("If-Range: " + validator, "Range: bytes=100-199"))
        check(answer.status == 200 and answer.body == data and answer.rc == 0,
              "If-Range: %s with a range during the download: %r" % (validator, answer))
    first.communicate()
    purge_then_get()
    write_orders()


def purge_then_get():
    data = make_file("vod/pg.mp4", 1500000)
    target = "/rate/500000/vod/pg.mp4"
    first = start_viewer(target, "/dev/null")
    check(wait_until(lambda: has_bytes(temp_of(cache_path(url(target))))), "the download did not start")
    runs = client_runs()
    address = "http://%s%s" % (front(), target)
    done = subprocess.run(["curl", "--max-time", "60"] + curl_args(method="PURGE") + [
        "-o", "/dev/null", "-w", "%{http_code} %{num_connects}\n", address, "--next"] + curl_args() + [
        "-o", "/tmp/pg", "-w", "%{http_code} %{num_connects}\n", address], stdout=subprocess.PIPE, text=True)
    said = done.stdout.split()
    check(said[:2] == ["200", "1"] and said[2:] == ["200", "0"] and done.returncode == 0,
          "PURGE then GET on one connection: %s, curl %d" % (said, done.returncode))
    check(file_bytes("/tmp/pg") == data, "the GET after a PURGE did not get the whole file")
    check(client_runs() - runs == 1, "the GET after a PURGE made %d downloads" % (client_runs() - runs))
    first.communicate()


def write_orders():
    for target, name, size in WRITE_ORDERS:
        data = make_file(name, size)
        path = cache_path(url(target))
        outs = ["/tmp/w%d" % n for n in range(3)]
        viewers = [start_viewer(target, outs[0])]
        check(wait_until(lambda: temp_of(path)), "%s: the download did not start" % target)
        viewers += [start_viewer(target, out) for out in outs[1:]]
        joined = not os.path.exists(path)
        for n, (viewer, out) in enumerate(zip(viewers, outs)):
            said = viewer.communicate()[0]
            check(said == "200 MISS" and file_bytes(out) == data, "%s: viewer %d got %s, %s bytes" % (
                target, n, said, "the right" if file_bytes(out) == data else "other"))
        check(joined, "%s: the download ended before two viewers joined" % target)
        check(not any(is_temp(p) for p in files_under("/node/cache")), "temporary files left")


GROUPS = {
    "hostile": (hostile, []),
    "spellings": (spellings, []),
    "midstream": (midstream, []),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
