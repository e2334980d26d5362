#!/usr/bin/env python3
"""bench_disk: HITs from a catalogue several times larger than the page cache
the servers may hold, on real disks, in one run of the node sandbox. Four
cache directories are ext4 file systems on loop devices over files of this
machine's disk (direct I/O: a read that misses the page cache reaches the
disk), the origin's files a fifth, and the whole sandbox runs in a memory
cgroup (v1 or v2) of BENCH_MEMORY bytes, which bounds the page cache of the
servers, their clients and the origin together. The catalogue, BENCH_FILES
files of BENCH_FILE_SIZE bytes, is at least four times that; every server
starts with none of it in memory.

Each server is asked by 64 viewers for files of the catalogue at random
(wrk -t2 -c64, BENCH_WARM seconds, then BENCH_SECONDS measured), while one
more viewer asks for a cached 20 kB file every 20 ms over a new connection;
it prints the throughput and the small file's latency p50, p99 and max:

  plain      nginx as the node served HITs before its thread pool:
             sendfile, reads in the worker
  pool       the same with a thread pool: aio threads, directio 1m,
             output_buffers 2 1m (the reference)
  node       the front end as the template has it (cache_dirs_mounted=on)

Targets: the node at least the pool's throughput, and its small file's p99
at most a third of plain nginx's. Then the front end again while one of its
disks is unmounted (umount -l) halfway through, once with each
cache_dirs_out: the hit ratio before and after (from its metrics) and every
answer to a viewer that was not a whole 200 (target: none).

BENCH_SERVERS names the rows to run, ',' between them: the three above, the
two with a disk out (out-stream, out-remap) and, for a sweep of the
thresholds, pool-sendfile (aio threads, no directio), pool-directio-N and
pool-buffer-N (directio or output_buffers' size N, as nginx writes it), and
node-KNOB=VALUE (the front end with a knob changed); a row ending in +zipf
asks with Zipf's popularity of exponent BENCH_ZIPF (0.9) instead, as a
catalogue's viewers do. Nothing is asserted.

    disk_bench.py BUILD_DIR     (tools/bench.sh runs it with build-bench)

Root; exit 77 skips (no loop devices, no memory cgroup). The images go in a
new directory below BENCH_DISK_DIR (default /var/tmp), removed at the end."""

import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nodetest as nt  # noqa: E402

HOST = "bench.example"
DIRS = 4
VIEWERS = 64
SMALL = 20000
# The small file's viewer asks this often.
SMALL_EVERY = 0.02


def size_of(text):
    """Bytes of a size as nginx and truncate write it: 512k, 4m, 1g."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    found = re.fullmatch(r"(\d+)([kmg]?)", text.lower())
    if not found:
        sys.exit("bench_disk: %r is not a size" % text)
    return int(found.group(1)) * units.get(found.group(2), 1)


FILES = int(os.environ.get("BENCH_FILES", 750))
FILE_SIZE = size_of(os.environ.get("BENCH_FILE_SIZE", "4m"))
MEMORY = size_of(os.environ.get("BENCH_MEMORY", "512m"))
WARM = float(os.environ.get("BENCH_WARM", 5))
MEASURE = float(os.environ.get("BENCH_SECONDS", 20))
SERVERS = os.environ.get("BENCH_SERVERS", "plain,pool,node,out-stream,out-remap").split(",")
ZIPF = float(os.environ.get("BENCH_ZIPF", 0.9))


# ---------------------------------------------------------------- outside
def memory_cgroup():
    """A new memory cgroup below this process's, limited to MEMORY: its
    directory and the file its members are written to; or None and why."""
    lines = open("/proc/self/cgroup").read().splitlines()
    v1 = [line.split(":", 2)[2] for line in lines if line.split(":", 2)[1] == "memory"]
    name = "cachenode-bench.%d" % os.getpid()
    if v1 and os.path.isdir("/sys/fs/cgroup/memory"):
        top = "/sys/fs/cgroup/memory" + v1[0].rstrip("/")
        limit = "memory.limit_in_bytes"
    else:
        mounts = [line.split()[1] for line in open("/proc/self/mounts") if line.split()[2] == "cgroup2"]
        v2 = [line.split(":", 2)[2] for line in lines if line.startswith("0::")]
        if not mounts or not v2:
            return None, "no memory cgroup (v1 or v2) here"
        top = mounts[0] + v2[0].rstrip("/")
        if "memory" not in open(os.path.join(top, "cgroup.subtree_control")).read().split():
            return None, "the memory controller is not enabled below %s (cgroup.subtree_control)" % top
        limit = "memory.max"
    path = os.path.join(top, name)
    try:
        os.mkdir(path)
        with open(os.path.join(path, limit), "w") as f:
            f.write(str(MEMORY))
    except OSError as e:
        return None, "cannot make a memory cgroup below %s: %s" % (top, e)
    return path, None


def remove_cgroup(path):
    """Its members have ended; their pages go to the parent."""
    for _ in range(100):
        try:
            os.rmdir(path)
            return
        except OSError:
            time.sleep(0.1)
    print("bench_disk: could not remove the cgroup %s" % path, file=sys.stderr)


def outside(build):
    if os.getuid() != 0:
        nt.skip("bench_disk needs root (the node sandbox, loop devices, a cgroup)")
    cgroup, why = memory_cgroup()
    if not cgroup:
        nt.skip(why)
    catalogue = FILES * FILE_SIZE
    # Room on each disk for its share and for the share of a disk taken out.
    disk = catalogue // DIRS * 3 // 2 + (256 << 20)
    command = [nt.TESTBED, "--fetchwrap", build + "/fetchwrap/fetchwrap",
               "--lib", build + "/cachekit/libcachekit.so.1", "--cli", build + "/cachekit/cli/cachekit",
               "--dirs", str(DIRS), "--disks", "ext4:%d" % disk,
               "--disk-images", os.environ.get("BENCH_DISK_DIR", "/var/tmp"),
               "--origin-disk", str(catalogue + (512 << 20)), "--knob", "hosts=" + HOST,
               "--", os.path.abspath(__file__), "--in", "bench"]
    print("bench_disk: %d files of %d bytes (%.1f GB), %d MB of memory for the sandbox"
          % (FILES, FILE_SIZE, catalogue / 1e9, MEMORY >> 20), flush=True)
    pid = os.fork()
    if pid == 0:
        with open(os.path.join(cgroup, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
        os.execv(nt.TESTBED, command)
    signal.signal(signal.SIGINT, lambda *_: os.kill(pid, signal.SIGTERM))
    signal.signal(signal.SIGTERM, lambda *_: os.kill(pid, signal.SIGTERM))
    while True:
        try:
            _, status = os.waitpid(pid, 0)
            break
        except InterruptedError:
            continue
    remove_cgroup(cgroup)
    sys.exit(os.waitstatus_to_exitcode(status))


# ---------------------------------------------------------------- inside
def drop_cache(paths):
    """The page cache of every file: written out, then let go."""
    os.sync()
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        os.close(fd)


def make_catalogue():
    """FILES files at the origin and at their cache paths, and the small
    file; the request paths go to /tmp/cat.paths, plain nginx's map of
    them to /tmp/plain.map. Returns every file written."""
    origin = os.path.join(nt.env("CN_FILES"), "cat")
    os.makedirs(origin)
    names = ["/cat/f%d.mp4" % n for n in range(1, FILES + 1)] + ["/cat/small.mp4"]
    paths = [nt.cache_path(HOST + name) for name in names]
    block = os.urandom(FILE_SIZE)
    written = []
    for n, (name, path) in enumerate(zip(names, paths)):
        data = os.urandom(SMALL) if name.endswith("small.mp4") else b"%16d" % n + block[16:]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        for where in (nt.env("CN_FILES") + name, path):
            with open(where, "wb") as f:
                f.write(data)
            written.append(where)
    subprocess.run(["chown", "-R", nt.env("TB_USER")] + nt.env("CN_DIRS").split("|"), check=True)
    with open("/tmp/cat.paths", "w") as f:
        f.write("\n".join(names[:-1]) + "\n")
    with open("/tmp/plain.map", "w") as f:
        f.writelines("%s %s;\n" % pair for pair in zip(names, paths))
    return written


def plain_conf(name, port, extra):
    """Plain nginx of prefix /node/NAME on port, two workers, serving the
    cache files by a map of request paths; extra goes into http {} (aio
    threads reads in nginx's own pool, default: 32 threads)."""
    prefix = "/node/" + name
    os.makedirs(prefix + "/logs", exist_ok=True)
    os.makedirs(prefix + "/run", exist_ok=True)
    with open(prefix + "/nginx.conf", "w") as f:
        f.write("""user %s;
worker_processes 2;
pid run/nginx.pid;
error_log logs/error.log notice;
events { worker_connections 4096; }
http {
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    map_hash_max_size 4096;
    map_hash_bucket_size 256;
    map $uri $bench_file { default /nonexistent; include /tmp/plain.map; }
    %s
    client_body_temp_path run/body;
    proxy_temp_path run/proxy;
    fastcgi_temp_path run/fastcgi;
    uwsgi_temp_path run/uwsgi;
    scgi_temp_path run/scgi;
    server {
        listen 127.0.0.1:%d;
        location = /cachenode/ondelete { return 200; }
        location ~ ^/ { alias $bench_file; }
    }
}
""" % (nt.env("TB_USER"), extra, port))


POOL = "aio threads; directio 1m; output_buffers 2 1m;"


def server_of(row):
    """What row names: ("plain", nginx's http lines) or ("node", knobs)."""
    if row == "plain":
        return "plain", ""
    if row == "pool":
        return "plain", POOL
    if row == "pool-sendfile":
        return "plain", "aio threads;"
    if row.startswith("pool-directio-"):
        return "plain", "aio threads; directio %s; output_buffers 2 1m;" % row[14:]
    if row.startswith("pool-buffer-"):
        return "plain", "aio threads; directio 1m; output_buffers 2 %s;" % row[12:]
    if row == "node":
        return "node", []
    if row.startswith("node-"):
        return "node", [row[5:]]
    if row in ("out-stream", "out-remap"):
        return "node", ["cache_dirs_out=" + row[4:]]
    sys.exit("bench_disk: no row %r" % row)


def start_server(row, port):
    kind, what = server_of(row)
    if kind == "plain":
        plain_conf("bench", port, what)
        subprocess.run([nt.env("CN_TESTBED"), "--launch", "bench", str(port)], check=True)
        return lambda: nt.stop_front("bench")
    # The 64 viewers come from one address, where a node's come from many:
    # no limit on the downloads one address starts.
    knobs = ["cache_dirs_mounted=on", "spool_dir=" + SPOOL, "client_misses=0"] + what
    if not nt.start_front("node", port, *knobs):
        sys.exit("bench_disk: the front end with %s did not start" % " ".join(knobs))
    return lambda: nt.stop_front("node")


# Spool files of a disk out in stream mode are 4 MB each, a tmpfs of them
# would be memory of the cgroup that it cannot give back: on the origin's disk.
SPOOL = "/node/origin/files/.spool"


class SmallViewer(threading.Thread):
    """Asks for the small file every SMALL_EVERY seconds over a new
    connection until stopped; seconds of each whole answer, and the others."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port, self.times, self.bad, self.stopped = port, [], 0, threading.Event()
        self.request = ("GET /cat/small.mp4 HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                        % HOST).encode()

    def ask(self):
        start = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as sock:
            sock.sendall(self.request)
            data = b""
            while True:
                piece = sock.recv(65536)
                if not piece:
                    break
                data += piece
        head, _, body = data.partition(b"\r\n\r\n")
        if not head.startswith(b"HTTP/1.1 200") or len(body) != SMALL:
            self.bad += 1
            return
        self.times.append(time.monotonic() - start)

    def run(self):
        while not self.stopped.is_set():
            try:
                self.ask()
            except OSError:
                self.bad += 1
            self.stopped.wait(SMALL_EVERY)

    def stop(self):
        self.stopped.set()
        self.join()


def wrk(port, seconds, zipf):
    """64 viewers for seconds, each file alike or (zipf) with Zipf's
    popularity: (bytes a second, answers not 2xx, socket errors)."""
    out = subprocess.run(["wrk", "-t2", "-c%d" % VIEWERS, "-d%ds" % seconds, "--timeout", "30s",
                          "-s", os.path.join(HERE, "disk_bench.lua"), "http://127.0.0.1:%d" % port,
                          "--", "/tmp/cat.paths", HOST] + ([str(ZIPF)] if zipf else []),
                         stdout=subprocess.PIPE, text=True).stdout
    found = re.search(r"requests in ([\d.]+)(m?s), ([\d.]+)([KMGT]?B) read", out)
    if not found:
        sys.exit("bench_disk: wrk said\n" + out)
    took = float(found.group(1)) * (60 if found.group(2) == "m" else 1)
    read = float(found.group(3)) * {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30,
                                     "TB": 1 << 40}[found.group(4)]
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    return (read / took, int(non2xx.group(1)) if non2xx else 0,
            sum(int(n) for n in errors.groups()) if errors else 0)


def quantile(times, q):
    ordered = sorted(times)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def measure(port, zipf):
    """(bytes a second, small p50, p99, max, viewers' errors)."""
    wrk(port, WARM, zipf)
    small = SmallViewer(port)
    small.start()
    rate, non2xx, errors = wrk(port, MEASURE, zipf)
    small.stop()
    return (rate, quantile(small.times, 0.5), quantile(small.times, 0.99),
            max(small.times or [float("nan")]), non2xx + errors + small.bad)


def counts(port):
    """The front end's requests by result."""
    found = {}
    for line in nt.metrics_text("127.0.0.1:%d" % port).splitlines():
        got = re.match(r'cachenode_requests_total\{result="(\w+)"\} ([\d.e+]+)', line)
        if got:
            found[got.group(1)] = float(got.group(2))
    return found


def hit_ratio(before, after):
    hits = after.get("hit", 0) - before.get("hit", 0)
    total = sum(after.values()) - sum(before.values())
    return hits / total if total else float("nan")


def not_ok(since):
    """The front end's answers other than 200 logged after byte since of its
    access log, as "STATUS RESULT: COUNT" texts."""
    with open("/node/node/logs/access.log", "rb") as log:
        log.seek(since)
        lines = log.read().decode(errors="replace").splitlines()
    found = {}
    for line in lines:
        words = line.rsplit('"', 1)[-1].split()
        if len(words) >= 4 and (words[0] != "200" or words[3] == "failed"):
            found[words[0] + " " + words[3]] = found.get(words[0] + " " + words[3], 0) + 1
    return ", ".join("%s: %d" % pair for pair in sorted(found.items()))


def disk_out(port):
    """64 viewers for 2 x BENCH_SECONDS, a disk unmounted halfway: (hit
    ratio before, after, over the last quarter, viewers' errors, the node's
    answers other than 200, the disk)."""
    wrk(port, WARM, False)
    result = {}
    logged = os.path.getsize("/node/node/logs/access.log")

    def load():
        result["wrk"] = wrk(port, 2 * MEASURE, False)

    viewers = threading.Thread(target=load)
    start = counts(port)
    viewers.start()
    time.sleep(MEASURE)
    half = counts(port)
    dir_, _ = nt.env("CN_DISKS").split("|")[1].split(":")
    subprocess.run(["umount", "-l", dir_], check=True)
    time.sleep(MEASURE / 2)
    quarter = counts(port)
    viewers.join()
    end = counts(port)
    _, non2xx, errors = result["wrk"]
    return (hit_ratio(start, half), hit_ratio(half, end), hit_ratio(quarter, end), non2xx + errors,
            not_ok(logged), dir_)


def remount(dir_):
    device = dict(pair.split(":") for pair in nt.env("CN_DISKS").split("|"))[dir_]
    subprocess.run(["mount", "-o", "strictatime,lazytime", device, dir_], check=True)


def inside():
    began, load = time.time(), open("/proc/loadavg").read().split()[0]
    os.makedirs(SPOOL)
    os.chown(SPOOL, *(lambda st: (st.st_uid, st.st_gid))(os.stat(nt.env("CN_DIRS").split("|")[0])))
    files = make_catalogue()
    port = nt.free_ports(1)[0]
    rows, outs = {}, []
    for row in SERVERS:
        drop_cache(files)
        stop = start_server(row.split("+")[0], port)
        try:
            if row.startswith("out-"):
                outs.append((row,) + disk_out(port))
                remount(outs[-1][-1])
            else:
                rows[row] = measure(port, row.endswith("+zipf"))
        finally:
            stop()
    print("bench_disk: %d viewers over %d files of %d kB (%.1f GB, %.0fx the %d MB cgroup), "
          "%d s measured after %d s; a %d kB HIT every %d ms meanwhile"
          % (VIEWERS, FILES, FILE_SIZE >> 10, FILES * FILE_SIZE / 1e9, FILES * FILE_SIZE / MEMORY,
             MEMORY >> 20, MEASURE, WARM, SMALL // 1000, SMALL_EVERY * 1000))
    print("  %-28s %8s %10s %10s %10s %7s" % ("server", "GB/s", "small p50", "p99", "max", "errors"))
    for row, (rate, p50, p99, top, bad) in rows.items():
        print("  %-28s %8.2f %8.1f ms %7.1f ms %7.0f ms %7d"
              % (row, rate / 1e9, p50 * 1e3, p99 * 1e3, top * 1e3, bad))
    if "node" in rows and "pool" in rows and "plain" in rows:
        node, pool, plain = rows["node"], rows["pool"], rows["plain"]
        print("  targets: throughput at least the pool's (%.2f of it): %s; small p99 at most a third "
              "of plain nginx's (%.2f of it): %s"
              % (node[0] / pool[0], "met" if node[0] >= pool[0] else "MISSED",
                 node[2] / plain[2], "met" if node[2] * 3 <= plain[2] else "MISSED"))
    for row, before, after, last, bad, logged, dir_ in outs:
        print("  %s: %s unmounted halfway: hit ratio %.3f before, %.3f after (%.3f in the last "
              "quarter); answers not a whole 200: %d (target 0: %s)%s"
              % (row, dir_, before, after, last, bad, "met" if bad == 0 else "MISSED",
                 "; the node logged " + logged if logged else ""))
    elapsed = time.time() - began
    print("(%.0f s; load average %s at the start, %s at the end)"
          % (elapsed, load, open("/proc/loadavg").read().split()[0]))


if __name__ == "__main__":
    if sys.argv[1:2] != ["--in"]:
        if len(sys.argv) != 2:
            sys.exit("usage: disk_bench.py BUILD_DIR")
        outside(os.path.abspath(sys.argv[1]))
    nt.run({"bench": (inside, None)}, __file__)
