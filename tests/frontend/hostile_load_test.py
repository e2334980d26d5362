#!/usr/bin/env python3
"""One client's load never takes the node from the others: misses it gave up
on (abandoned), connections it holds (connections), streamed misses it reads
slowly over HTTP/1.1 and HTTP/2 (slowreaders), missing URLs it asks
(missing), and HTTP/2 streams of misses it resets as soon as it opens them
(resets). Each ends with what another viewer gets meanwhile; the attacks are
scaled to the group's knobs where that shows the same."""

import os
import resource
import selectors
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (H2, HOST, answering, cache_path, check, client_runs, env,  # noqa: E402
                      error_log, fetchwraps, file_bytes, get, get_all, make_file, open_request,
                      origin_bytes, resident, run, skip, temp_of, wait_until, workers)

# A viewer other than the attacker: another address of the loopback.
VIEWER = ("--interface", "127.0.0.2")
# More connections than the 2 x 4096 that worker_connections used to give.
HALF_OPEN = 9000


def url(target):
    return "http://%s%s" % (HOST, target)


def served(answer, target):
    """Whether answer is 200 with the origin's bytes of target."""
    return answer.status == 200 and answer.body == origin_bytes(target)


def abandoned():
    """Ten misses of distinct 2 MB files from a slow origin, each left after
    0.5 s, with fetch_max 8: eight downloads run for nobody and two wait in
    line. A viewer of another uncached file is served, not 503 after the
    line's time-out: downloads without a viewer yield, and what they had is
    not kept."""
    targets = []
    for n in range(10):
        make_file("vod/gone%d.mp4" % n, 2000000)
        targets.append("/rate/100000/vod/gone%d.mp4" % n)
    make_file("vod/wanted.mp4", 50000)
    with ThreadPoolExecutor(len(targets)) as pool:
        list(pool.map(lambda t: get(t, timeout=0.5), targets))
    answer = get("/vod/wanted.mp4", extra=VIEWER)
    check(served(answer, "/vod/wanted.mp4"), "a viewer behind abandoned downloads: %r" % answer)
    for target in targets:
        kept = file_bytes(cache_path(url(target)))
        check(kept is None or kept == origin_bytes(target), "%s: a part of the file was kept" % target)


def connections():
    """Requests in progress per client address (client_conns 4, balancers
    127.0.0.3): a fifth gets 429, another address is served, and behind a
    balancer the address of X-Forwarded-For counts. Then 9,000 connections
    that send a request line and Host but never end the header: other
    viewers are served meanwhile, and each is reset after client_timeout."""
    # A worker may have to take them all.
    per_worker = int(env("CN_CONNECTIONS"))
    if per_worker < HALF_OPEN + 100:
        skip("this machine's descriptor limit gives %d connections a worker, too few for %d" % (
            per_worker, HALF_OPEN))
    big = "/vod/held.mp4"
    make_file(big, 32 << 20)
    make_file("vod/small.mp4", 20000)
    check(get(big).status == 200, "the held file is not served")
    # (source, X-Forwarded-For of the four held requests, of a fifth, its
    # status). Each row's client is another, as a closed connection's
    # request may still be counted for a moment.
    for source, held, fifth, status in (
            ("127.0.0.1", "", "", 429),
            ("127.0.0.4", "", "127.0.0.9", 429),      # not a balancer: the header is no one's address
            ("127.0.0.3", "127.0.0.9", "127.0.0.9", 429),
            ("127.0.0.3", "127.0.0.11", "127.0.0.10", 200)):
        headers = ("X-Forwarded-For: " + held,) if held else ()
        # Each reads nothing: its answer stays in progress, its window full.
        socks = [open_request(big, headers=headers, source=source, rcvbuf=4096) for _ in range(4)]
        check(wait_until(lambda: all(answering(sock) for sock in socks)), "the held requests have no 200")
        extra = ("--interface", source) + (("-H", "X-Forwarded-For: " + fifth) if fifth else ())
        answer = get("/vod/small.mp4", extra=extra)
        check(answer.status == status, "a fifth request from %s (X-Forwarded-For '%s') beside four from "
              "'%s': status %d, not %d" % (source, fifth, held, answer.status, status))
        answer = get("/vod/small.mp4", extra=VIEWER)
        check(answer.status == 200, "another address beside four held requests: status %d" % answer.status)
        for sock in socks:
            sock.close()
    half_open()


def half_open():
    """HALF_OPEN connections whose header never ends."""
    count = HALF_OPEN
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, count + 1000), hard))
    make_file("vod/during.mp4", 30000)
    get("/vod/small.mp4")
    socks, refused = [], 0
    try:
        for n in range(count):
            try:
                socks.append(open_request("/vod/h%d.mp4" % n, ended=False))
            except OSError:
                refused += 1
        check(not refused, "%d of %d connections were refused" % (refused, count))
        count = len(socks)
        answers = (get("/vod/small.mp4", extra=VIEWER), get("/vod/during.mp4", extra=VIEWER))
        check(answers[0].status == 200 and answers[0].xcache == "HIT",
              "a HIT during %d half-open connections: %r" % (count, answers[0]))
        check(served(answers[1], "/vod/during.mp4"), "a MISS during %d half-open connections: %r"
              % (count, answers[1]))
        reset = closed_by_node(socks, 30)
        check(reset == count, "%d of %d half-open connections were reset by the node" % (reset, count))
    finally:
        for sock in socks:
            sock.close()
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


def closed_by_node(socks, seconds):
    """How many of socks the peer reset within seconds (a FIN or silence
    does not count)."""
    sel = selectors.DefaultSelector()
    for sock in socks:
        sock.setblocking(False)
        sel.register(sock, selectors.EVENT_READ)
    reset, end = 0, time.monotonic() + seconds
    while sel.get_map() and time.monotonic() < end:
        for key, _ in sel.select(0.5):
            sel.unregister(key.fileobj)
            try:
                key.fileobj.recv(4096)
            except ConnectionResetError:
                reset += 1
    sel.close()
    return reset


def grown_during(target, start):
    """The workers' largest resident growth, in MB, while the download of
    target runs and a second after, once start() has begun its viewers."""
    pids = workers()
    before = resident(pids)
    start()
    path = cache_path(url(target))
    most = before
    check(wait_until(lambda: temp_of(path), 10), "the download of %s did not start" % target)
    while temp_of(path) and not os.path.exists(path):
        most = max(most, resident(pids))
        time.sleep(0.1)
    end = time.monotonic() + 1
    while time.monotonic() < end:
        most = max(most, resident(pids))
        time.sleep(0.1)
    check(os.path.exists(path), "the download of %s did not end" % target)
    return (most - before) / (1 << 20)


def slowreaders():
    """Eight viewers read a streamed 64 MB miss at 0.8 MB/s each while the
    download runs at 16 MB/s: the workers grow by at most 32 MB together (a
    viewer holds one read chunk at a time), where they grew by the unsent
    rest of the file for each. Then 64 HTTP/2 streams of another, on one
    connection that grants nothing past its first window: each holds its
    HTTP/2 chunk, at most 8 MB in all, where the HTTP/1.1 chunk grew the
    workers by 37 MB."""
    target = "/rate/16000000/vod/sixtyfour.mp4"
    make_file("vod/sixtyfour.mp4", 64 << 20)
    stop = threading.Event()

    def reader(sock):
        while not stop.is_set():
            try:
                if not sock.recv(16384):
                    return
            except OSError:
                return
            time.sleep(0.02)

    socks, threads = [], []

    def start():
        # Each from an address of its own: the per-client limits are not
        # what this shows.
        socks.extend(open_request(target, source="127.0.0.%d" % n, rcvbuf=65536) for n in range(2, 10))
        threads.extend(threading.Thread(target=reader, args=(sock,)) for sock in socks)
        for thread in threads:
            thread.start()

    grown = grown_during(target, start)
    stop.set()
    for sock in socks:
        sock.close()
    for thread in threads:
        thread.join()
    check(grown <= 32, "eight slow viewers grew the workers by %.0f MB" % grown)

    target = "/rate/16000000/vod/sixtyfour2.mp4"
    os.link(os.path.join(env("CN_FILES"), "vod/sixtyfour.mp4"), os.path.join(env("CN_FILES"), "vod/sixtyfour2.mp4"))
    client = H2()

    def start_streams():
        for _ in range(64):
            client.request(target)
        client.flush()

    grown = grown_during(target, start_streams)
    client.close()
    print("64 slow HTTP/2 streams grew the workers by %.1f MB" % grown)
    check(grown <= 8, "64 slow HTTP/2 streams grew the workers by %.0f MB" % grown)


def resets():
    """One client over HTTP/2 opens 2,000 streams for distinct uncached
    files from a slow origin, resetting each at once: at most client_misses
    (16) downloads start, each counted against it until it ends though no
    request of it is left, where each reset used to free its count at
    once; a viewer's HIT is served meanwhile."""
    make_file("atk/f.mp4", 1000)
    files = env("CN_FILES")
    for n in range(2000):
        os.link(files + "/atk/f.mp4", "%s/atk/f%d.mp4" % (files, n))
    make_file("vod/hit.mp4", 20000)
    get("/vod/hit.mp4")
    before = client_runs()
    client = H2()
    most = 0
    # In bursts, as nginx refuses the streams beyond twice its concurrent
    # ones that one read brings; on a new connection once nginx ends one.
    for n in range(2000):
        client.reset(client.request("/rate/100/atk/f%d.mp4" % n))
        if n % 20 == 19:
            client.flush()
            if not client.read(0.005):
                client.close()
                client = H2()
            most = max(most, len(fetchwraps()))
    client.flush()
    end = time.monotonic() + 1
    while time.monotonic() < end:
        client.read(0.05)
        most = max(most, len(fetchwraps()))
    answer = get("/vod/hit.mp4", extra=VIEWER)
    check(answer.status == 200 and answer.xcache == "HIT", "a viewer's HIT during the resets: %r" % answer)
    client.close()
    runs = client_runs() - before
    print("2,000 reset streams started %d downloads, at most %d at once" % (runs, most))
    check(0 < runs <= 16 and most <= 16, "2,000 reset streams started %d downloads, %d at once "
          "(client_misses 16)" % (runs, most))


def missing():
    """One client asks 200 distinct missing URLs over 50 connections, the
    origin taking 3 s to say 404 (client_misses 4, fetch_max 8): a viewer of
    a real uncached file is served. Then one missing URL asked 20 times: one
    download, the same answer each time, one line in the error log; a PURGE
    forgets it, and the next request downloads again."""
    make_file("vod/real.mp4", 40000)
    flood = ["/fault/404/3000/vod/none%d.mp4" % n for n in range(200)]
    with ThreadPoolExecutor(1) as pool:
        asked = pool.submit(get_all, flood, parallel=50)
        check(wait_until(lambda: client_runs() >= 4), "the flood started no download")
        answer = get("/vod/real.mp4", extra=VIEWER)
        check(served(answer, "/vod/real.mp4"), "a viewer during a flood of missing URLs: %r" % answer)
        asked.result()
    target, name = "/vod/absent.mp4", "absent.mp4"
    runs = client_runs()
    logged = len([line for line in error_log().splitlines() if name in line])
    answers = [get(target) for _ in range(20)]
    statuses = sorted({a.status for a in answers})
    check(len(statuses) == 1 and statuses[0] >= 400, "20 requests for a missing URL got %s" % statuses)
    check(client_runs() - runs == 1, "20 requests for a missing URL made %d downloads"
          % (client_runs() - runs))
    lines = [line for line in error_log().splitlines() if name in line][logged:]
    check(len(lines) == 1, "20 requests for a missing URL wrote %d error log lines: %s"
          % (len(lines), lines[:3]))
    get(target, method="PURGE")
    runs = client_runs()
    get(target)
    check(client_runs() - runs == 1, "after a PURGE a missing URL made %d downloads" % (client_runs() - runs))


GROUPS = {
    "abandoned": (abandoned, ["--knob", "fetch_max=8", "--knob", "fetch_queue_timeout=3"]),
    "connections": (connections, ["--knob", "client_conns=4", "--knob", "client_timeout=5",
                                  "--knob", "balancers=127.0.0.3"]),
    "slowreaders": (slowreaders, ["--tls"]),
    "missing": (missing, ["--knob", "fetch_max=8", "--knob", "fetch_queue_timeout=3",
                          "--knob", "client_misses=4"]),
    "resets": (resets, ["--tls"]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
