#!/usr/bin/env python3
"""bench_hostile: what one hostile client costs every other viewer, in one
run of the node sandbox (the template's limits, two workers). A viewer on
127.0.0.2 asks, each over a new connection, for a cached 20 kB file (HIT)
and for a 20 kB file never asked before (MISS), in turns, and times its
first byte: once with no attack (the reference), then while each attack runs
from 127.0.0.1:

  abandoned    80 misses of distinct 2 MB files from a slow origin, each
               left after 0.5 s;
  half-open    9,000 connections that send a request line and Host and never
               end the header, opened again as the node closes them;
  slow readers 8 viewers of a streamed 64 MB miss, each reading 0.8 MB/s;
  spellings    17 spellings of one 2 MB file, asked over and over;
  missing      1,000 distinct missing URLs over 400 connections, the origin
               taking 3 s to say 404;
  repeated     one missing URL asked over and over, 8 at a time;
  If-Range     If-Range: "stale" with a one-byte range during a 64 MB
               download, 8 at a time;
  rapid reset  HTTP/2 streams for distinct uncached 2 MB files from a slow
               origin, each reset as soon as it is sent, 20 a burst, up to
               20,000, on a new connection when nginx ends one.

The viewer's asks are spread over the phase. It prints the median and p99
of each first byte, the viewer's statuses other than 200, the workers'
largest resident growth and the downloads the attack started (the phase's
runs of the transfer client less the viewer's MISSes), against the target:
no attack more than doubles the viewer's p99 or gets it a 5xx. Nothing is
asserted.

    hostile_bench.py BUILD_DIR       (tools/bench.sh runs it with build-bench)

Runs in the node sandbox (tools/testbed/testbed), as root; exit 77 skips.
BENCH_HITS and BENCH_MISSES set the samples of a phase, BENCH_PHASE the
seconds they are spread over, BENCH_ATTACKS the attacks run (their names,
',' between them)."""

import os
import resource
import selectors
import statistics
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nodetest as nt  # noqa: E402

HITS = int(os.environ.get("BENCH_HITS", 200))
MISSES = int(os.environ.get("BENCH_MISSES", 40))
PHASE = float(os.environ.get("BENCH_PHASE", 10))
VIEWER = "127.0.0.2"
SMALL = 20000
# A phase's attack runs this long before the viewer asks: 9,000 connections
# opened, a 64 MB download under way.
SETTLE = 3


# ---------------------------------------------------------------- the viewer
def first_byte(target):
    """(seconds to the answer's first byte over a new connection, status);
    status 0 when the connection was refused, reset or timed out."""
    start = time.monotonic()
    try:
        sock = nt.open_request(target, headers=("Connection: close",), source=VIEWER)
    except OSError:
        return time.monotonic() - start, 0
    sock.settimeout(15)
    try:
        head = sock.recv(65536)
        took = time.monotonic() - start
        while sock.recv(65536):
            pass
    except OSError:
        return time.monotonic() - start, 0
    finally:
        sock.close()
    words = head.split(b" ", 2)
    return took, int(words[1]) if len(words) > 1 and words[1].isdigit() else 0


class Viewer:
    """The viewer's samples of one phase."""

    def __init__(self):
        self.hit, self.miss, self.bad = [], [], {}
        self.misses = 0

    def run(self, name):
        """Asks its HITs and its MISSes at a steady pace over PHASE seconds,
        each in a thread of its own, so that a slow MISS holds no HIT
        back; what is left at twice that is not asked."""
        start = time.monotonic()

        def ask(kind, count, target):
            for n in range(count):
                wait = start + n * PHASE / count - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                elif time.monotonic() > start + 2 * PHASE:
                    return
                took, status = first_byte(target(n))
                if kind == "miss":
                    self.misses += 1
                if status == 200:
                    getattr(self, kind).append(took)
                else:
                    self.bad[status] = self.bad.get(status, 0) + 1

        for n in range(MISSES):
            nt.make_file("bench/%s-%d.mp4" % (name, n), SMALL)
        threads = [threading.Thread(target=ask, args=("hit", HITS, lambda n: "/bench/hit.mp4")),
                   threading.Thread(target=ask, args=("miss", MISSES,
                                                      lambda n: "/bench/%s-%d.mp4" % (name, n)))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()


# ---------------------------------------------------------------- attacks
def hammer(targets, parallel, headers=(), extra=()):
    """One curl asks for targets, parallel at a time, bodies thrown away."""
    # Without --parallel-immediate curl holds the others until the first
    # connection says whether it multiplexes.
    args = ["curl", "-Z", "--parallel-immediate", "--parallel-max", str(parallel)]
    args += nt.curl_args(headers=headers, extra=extra)
    for target in targets:
        args += ["http://%s%s" % (nt.front(), target), "-o", "/dev/null"]
    subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def attack_abandoned(stop):
    files = nt.env("CN_FILES")
    round_ = 0
    while not stop.is_set():
        # Each round names files never asked before: links to the same bytes.
        for n in range(80):
            os.link("%s/atk/gone%d.mp4" % (files, n), "%s/atk/gone%d-%d.mp4" % (files, round_, n))
        hammer(["/rate/100000/atk/gone%d-%d.mp4" % (round_, n) for n in range(80)], 80,
               extra=("--max-time", "0.5"))
        round_ += 1
        stop.wait(5)


def attack_half_open(stop):
    sel = selectors.DefaultSelector()

    def open_one(n):
        try:
            sock = nt.open_request("/atk/h%d.mp4" % n, ended=False)
        except OSError:
            return
        sock.setblocking(False)
        sel.register(sock, selectors.EVENT_READ)

    for n in range(9000):
        open_one(n)
    n = 9000
    while not stop.is_set():
        for key, _ in sel.select(0.2):
            sel.unregister(key.fileobj)
            key.fileobj.close()
            n += 1
            open_one(n)
    for key in list(sel.get_map().values()):
        key.fileobj.close()


def attack_slow_readers(stop):
    def reader(n):
        sock = nt.open_request("/rate/16000000/atk/sixtyfour.mp4", rcvbuf=65536)
        while not stop.is_set():
            try:
                if not sock.recv(16384):
                    break
            except OSError:
                break
            time.sleep(0.02)
        sock.close()

    threads = [threading.Thread(target=reader, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


SPELLINGS = (
    "/atk/bust.mp4", "/atk/bust.mp%34", "/%61tk/bust.mp4", "/a%74k/bust.mp4", "/at%6Bk/bust.mp4",
    "/at%6bk/bust.mp4", "/atk/%62ust.mp4", "/atk/b%75st.mp4", "/atk/bu%73t.mp4", "/atk/bus%74.mp4",
    "/atk/bust%2Emp4", "/atk/bust%2emp4", "/atk/bust.%6Dp4", "/atk/bust.%6dp4", "/atk/bust.m%70%34",
    "/%61%74%6B/%62%75%73%74%2E%6D%70%34", "/%61%74%6b/%62%75%73%74%2e%6d%70%34",
)


def attack_spellings(stop):
    while not stop.is_set():
        hammer(SPELLINGS, 4)


def attack_missing(stop):
    round_ = 0
    while not stop.is_set():
        hammer(["/fault/404/3000/atk/none%d-%d.mp4" % (round_, n) for n in range(1000)], 400)
        round_ += 1


def attack_repeated(stop):
    while not stop.is_set():
        hammer(["/atk/absent.mp4"] * 64, 8)


def attack_if_range(stop):
    target = "/rate/4000000/atk/ifrange.mp4"
    nt.start_viewer(target, "/dev/null")
    while not stop.is_set():
        hammer([target] * 8, 8, headers=('If-Range: "stale"', "Range: bytes=0-0"))


def attack_rapid_reset(stop):
    files = nt.env("CN_FILES")
    client = nt.H2()
    for n in range(20000):
        if stop.is_set():
            break
        name = "atk/rr%d.mp4" % n
        os.link(files + "/atk/gone0.mp4", "%s/%s" % (files, name))
        client.reset(client.request("/rate/100000/" + name))
        if n % 20 == 19:
            client.flush()
            if not client.read(0.005):
                client.close()
                client = nt.H2()
    client.flush()
    stop.wait()
    client.close()


ATTACKS = (
    ("abandoned", attack_abandoned),
    ("half-open", attack_half_open),
    ("slow readers", attack_slow_readers),
    ("spellings", attack_spellings),
    ("missing", attack_missing),
    ("repeated", attack_repeated),
    ("If-Range", attack_if_range),
    ("rapid reset", attack_rapid_reset),
)


def origin_files():
    nt.make_file("bench/hit.mp4", SMALL)
    for n in range(80):
        nt.make_file("atk/gone%d.mp4" % n, 2000000)
    nt.make_file("atk/bust.mp4", 2000000)
    nt.make_file("atk/sixtyfour.mp4", 64 << 20)
    nt.make_file("atk/ifrange.mp4", 64 << 20)


def clear_cache():
    """Removes the attack's files from the cache, so that the next phase
    starts from the same node."""
    for path in nt.files_under("/node/cache"):
        if "/atk/" in path and not nt.is_temp(path):
            os.unlink(path)


# ---------------------------------------------------------------- the run
def start(attack):
    """Runs attack(stop) in a process of its own, apart from the viewer's
    interpreter; stop is set once the pipe returned here is closed. (The
    sandbox has no /dev/shm for multiprocessing's events.)"""
    readable, writable = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(writable)
        stop = threading.Event()
        threading.Thread(target=lambda: (os.read(readable, 1), stop.set()), daemon=True).start()
        try:
            attack(stop)
        except Exception:  # the attack's failure is the benchmark's, with its trace
            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    os.close(readable)
    return pid, writable


def finish(pid, writable):
    """Stops the attack and waits for it (30 s at most, then SIGKILL)."""
    os.close(writable)
    if not nt.wait_until(lambda: os.waitpid(pid, os.WNOHANG)[0] == pid, 30, 0.1):
        os.kill(pid, 9)
        os.waitpid(pid, 0)


def phase(name, attack):
    pids = nt.workers()
    before = nt.resident(pids)
    runs = nt.client_runs()
    process = start(attack) if attack else None
    if process:
        time.sleep(SETTLE)
    viewer = Viewer()
    most = [before]
    done = threading.Event()

    def watch():
        while not done.wait(0.2):
            most.append(nt.resident(pids))

    watcher = threading.Thread(target=watch)
    watcher.start()
    viewer.run(name.replace(" ", "").replace("-", ""))
    done.set()
    watcher.join()
    if process:
        finish(*process)
        # What the attack left running (curl, downloads) ends with the node's
        # time-outs; the next phase waits for the downloads to go.
        nt.wait_until(lambda: not nt.fetchwraps(), 40, 0.2)
    clear_cache()
    return viewer, (max(most) - before) / (1 << 20), max(0, nt.client_runs() - runs - viewer.misses)


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))] if ordered else float("nan")


def ms(value):
    return "-" if value != value else "%.1f" % (value * 1000)


def inside():
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 12000), hard))
    if int(nt.env("CN_CONNECTIONS")) < 9100:
        print("bench_hostile: this machine's descriptor limit (%d) is short of the half-open attack"
              % hard)
    origin_files()
    nt.get("/bench/hit.mp4")
    started = time.monotonic()
    load = open("/proc/loadavg").read().split()[0]
    rows = [("no attack",) + phase("none", None)]
    chosen = os.environ.get("BENCH_ATTACKS")
    for name, attack in ATTACKS:
        if not chosen or name in chosen.split(","):
            rows.append((name,) + phase(name, attack))
    ref_hit, ref_miss = p99(rows[0][1].hit), p99(rows[0][1].miss)
    print("A viewer's first byte (ms) over a new connection, %d HITs and %d MISSes of 20 kB a phase at "
          "most, over %g s; two workers, the template's limits" % (HITS, MISSES, PHASE))
    print("| attack | HIT median (n) | HIT p99 | MISS median (n) | MISS p99 | answers not 200 "
          "| workers grew | downloads of the attack | target |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, viewer, grown, downloads in rows:
        hit, miss = viewer.hit, viewer.miss
        bad = " ".join("%d x %s" % (count, status or "none") for status, count in sorted(viewer.bad.items()))
        fivexx = any(status >= 500 or status == 0 for status in viewer.bad)
        met = name == "no attack" or (not fivexx and p99(hit) <= 2 * ref_hit and p99(miss) <= 2 * ref_miss)
        print("| %s | %s (%d) | %s | %s (%d) | %s | %s | %.0f MB | %d | %s |" % (
            name, ms(statistics.median(hit) if hit else float("nan")), len(hit), ms(p99(hit)),
            ms(statistics.median(miss) if miss else float("nan")), len(miss), ms(p99(miss)), bad or "-",
            grown, downloads,
            "" if name == "no attack" else "met" if met else "MISSED"))
    print("target: no attack more than doubles the viewer's p99 or gets it a 5xx (or no answer)")
    print("(%.0f s; load average %s at the start, %s at the end)" % (
        time.monotonic() - started, load, open("/proc/loadavg").read().split()[0]))


if __name__ == "__main__":
    if sys.argv[1:2] != ["--in"]:
        if len(sys.argv) != 2:
            sys.exit("usage: hostile_bench.py BUILD_DIR")
        build = os.path.abspath(sys.argv[1])
        sys.argv[1:] = ["bench", build + "/fetchwrap/fetchwrap", build + "/cachekit/libcachekit.so.1",
                        build + "/cachekit/cli/cachekit"]
    nt.run({"bench": (inside, ("--tls", "--cache-size", "1g", "--knob", "hosts=" + nt.HOST))}, __file__)
