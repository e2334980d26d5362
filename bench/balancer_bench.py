#!/usr/bin/env python3
"""bench_balancer: a fleet of nodes behind the balancer against one node, in
one run of the node sandbox. Figures are printed beside their reference and
target; nothing is asserted.

1. One Zipf load (exponent ZIPF_S over FILES files of 8 to 64 kB, REQUESTS
   requests, PARALLEL at a time) through: one node asked directly; three
   nodes behind HAProxy with round robin (the template with "balance
   roundrobin" instead of the hash); three nodes behind the consistent hash
   (the template as shipped). Each node's cache holds half the catalogue's
   bytes: after every BATCH requests the benchmark removes each node's least
   recently accessed files beyond that (the disk guard's rule at the load's
   pace; the guard itself removes at most a file per second of access time).
   Each run starts cold and prints the hit ratio (X-Cache HIT over all
   answers), the downloads from the origin, the files downloaded and the
   downloads per file.
2. The balancer's cost: HITs of 100 files of 20 kB on one node, through a
   balancer of that node alone and from the node directly, wrk -t1 -c16,
   medians of RUNS rounds of SECONDS each, taken in turns.

    balancer_bench.py BUILD_DIR      (tools/bench.sh runs it with build-bench)

Runs in the node sandbox (tools/testbed/testbed), as root; exit 77 skips.
BENCH_REQUESTS, BENCH_FILES, BENCH_RUNS and BENCH_SECONDS change the size of
each part."""

import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Nothing is written into the checkout, which the sandbox binds read-only.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
import nodetest as nt  # noqa: E402

FILES = int(os.environ.get("BENCH_FILES", 2000))
REQUESTS = int(os.environ.get("BENCH_REQUESTS", 20000))
RUNS = int(os.environ.get("BENCH_RUNS", 5))
SECONDS = int(os.environ.get("BENCH_SECONDS", 3))
ZIPF_S = 0.9
PARALLEL = 8
BATCH = 500
SEED = 30


# ---------------------------------------------------------------- the load
def catalogue():
    """The origin's files and the request sequence: (targets in request
    order, the files' total bytes). Popularity is dealt to the files at
    random, so that it owes nothing to their names' places on the ring."""
    rng = random.Random(SEED)
    blob = os.urandom(64 << 10)
    total = 0
    names = []
    for n in range(FILES):
        size = rng.randint(8 << 10, 64 << 10)
        target = "/cat/f%04d.mp4" % n
        path = os.path.join(nt.env("CN_FILES"), target.lstrip("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        start = rng.randrange(len(blob))
        with open(path, "wb") as f:
            f.write((blob[start:] + blob[:start])[:size - 4] + n.to_bytes(4, "big"))
        names.append(target)
        total += size
    rng.shuffle(names)
    weights = [1 / (rank + 1) ** ZIPF_S for rank in range(FILES)]
    return rng.choices(names, weights=weights, k=REQUESTS), total


def evict(nodes, capacity):
    """Removes each node's least recently accessed finished files until the
    rest hold at most capacity bytes."""
    for name in nodes:
        entries = []
        for path in nt.node_files(name).values():
            try:
                st = os.stat(path)
            except FileNotFoundError:
                continue
            entries.append((st.st_atime_ns, st.st_size, path))
        total = sum(size for _, size, _ in entries)
        for _, size, path in sorted(entries):
            if total <= capacity:
                break
            try:
                os.unlink(path)
            except FileNotFoundError:
                pass
            total -= size


def run_load(server, nodes, targets, capacity):
    """The load against server, nodes' caches held to capacity; a dict of
    what it gave."""
    runs = nt.client_runs()
    hits = errors = 0
    start = time.monotonic()
    for at in range(0, len(targets), BATCH):
        batch = targets[at:at + BATCH]
        for answer in nt.get_all(batch, parallel=PARALLEL, server=server):
            hits += answer.xcache == "HIT"
            errors += answer.status != 200
        evict(nodes, capacity)
    seconds = time.monotonic() - start
    log = nt.client_downloads(runs)
    fetched = {target for target, _ in log}
    return {"hits": hits, "errors": errors, "downloads": len(log), "files": len(fetched),
            "seconds": seconds}


def start_nodes(names):
    ports = nt.free_ports(len(names))
    for name, port in zip(names, ports):
        if not nt.start_node(name, port):
            sys.exit("bench_balancer: node %s did not start" % name)
    return list(zip(names, ports))


def stop_nodes(nodes, balancer=None):
    if balancer:
        balancer.stop()
    for name, _ in nodes:
        nt.stop_front(name)
        shutil.rmtree("/node/cache/" + name)


def start_balancer(nodes, name, template=None):
    balancer = nt.Balancer(nodes, name=name, template=template)
    for node, _ in nodes:
        if not balancer.wait_status(node, "UP"):
            sys.exit("bench_balancer: %s is not up behind %s" % (node, name))
    return balancer


def roundrobin_template():
    """The shipped template with round robin instead of the hash."""
    with open(os.path.join(nt.ROOT, "balancer", "haproxy.cfg.in")) as f:
        text = f.read()
    hashed = "    balance uri path-only\n    hash-type consistent\n"
    if hashed not in text:
        sys.exit("bench_balancer: the template no longer says: " + hashed)
    path = "/tmp/roundrobin.cfg.in"
    with open(path, "w") as f:
        f.write(text.replace(hashed, "    balance roundrobin\n"))
    return path


def fleet_part():
    targets, total = catalogue()
    capacity = total // 2
    distinct = len(set(targets))
    print("Zipf load: %d requests (s = %.1f, %d at a time) over %d files of 8-64 kB, %.1f MB, %d of them "
          "asked; each node's cache %.1f MB, half the catalogue" % (
              REQUESTS, ZIPF_S, PARALLEL, FILES, total / 1e6, distinct, capacity / 1e6))
    results = []

    nodes = start_nodes(["one1"])
    results.append(("one node", run_load("127.0.0.1:%d" % nodes[0][1], ["one1"], targets, capacity)))
    stop_nodes(nodes)

    for what, names, template in (("3 nodes, round robin", ["rr1", "rr2", "rr3"], roundrobin_template()),
                                  ("3 nodes, consistent hash", ["ch1", "ch2", "ch3"], None)):
        nodes = start_nodes(names)
        balancer = start_balancer(nodes, names[0][:2], template)
        results.append((what, run_load(balancer.address, names, targets, capacity)))
        stop_nodes(nodes, balancer)

    print("| what | hit ratio | downloads | files downloaded | downloads per file | errors | time |")
    print("|---|---|---|---|---|---|---|")
    for what, r in results:
        print("| %s | %.3f | %d | %d | %.2f | %d | %.1f s |" % (
            what, r["hits"] / REQUESTS, r["downloads"], r["files"], r["downloads"] / max(r["files"], 1),
            r["errors"], r["seconds"]))
    rr, ch = results[1][1], results[2][1]
    per_file = ch["downloads"] / max(ch["files"], 1)
    print("target: the hash downloads each file about once (%.2f: %s) and beats round robin's hit ratio "
          "by a wide margin (%.3f against %.3f: %+.3f)" % (
              per_file, "met" if per_file <= 1.1 else "MISSED",
              ch["hits"] / REQUESTS, rr["hits"] / REQUESTS, (ch["hits"] - rr["hits"]) / REQUESTS))


# ---------------------------------------------------------------- the cost
def wrk(address, paths):
    """requests/s and median latency in µs of a wrk run on address."""
    script = os.path.join(HERE, "frontend_bench.lua")
    out = subprocess.run(["wrk", "-t1", "-c16", "-d%ds" % SECONDS, "--latency", "-s", script,
                          "http://" + address, "--", paths, nt.HOST],
                         stdout=subprocess.PIPE, text=True).stdout
    if "Non-2xx" in out:
        print("bench_balancer: answers other than 2xx from %s" % address, file=sys.stderr)
    rate = float(re.search(r"^Requests/sec:\s+([\d.]+)", out, re.M).group(1))
    value, unit = re.search(r"^\s+50%\s+([\d.]+)(us|ms|s)\b", out, re.M).groups()
    return rate, float(value) * {"us": 1, "ms": 1e3, "s": 1e6}[unit]


def cost_part():
    nodes = start_nodes(["cost1"])
    direct = "127.0.0.1:%d" % nodes[0][1]
    balancer = start_balancer(nodes, "cost")
    targets = ["/hit/f%03d.mp4" % n for n in range(100)]
    for target in targets:
        nt.make_file(target, 20000)
    nt.get_all(targets, parallel=PARALLEL, server=direct)
    answers = nt.get_all(targets, parallel=PARALLEL, server=balancer.address)
    if any(a.xcache != "HIT" for a in answers):
        print("bench_balancer: not every file is a HIT through the balancer", file=sys.stderr)
    paths = "/tmp/hit.paths"
    with open(paths, "w") as f:
        f.write("\n".join(targets) + "\n")
    rounds = {"direct": [], "balancer": []}
    for _ in range(RUNS):
        rounds["direct"].append(wrk(direct, paths))
        rounds["balancer"].append(wrk(balancer.address, paths))
    stop_nodes(nodes, balancer)
    rate = {k: statistics.median(r for r, _ in v) for k, v in rounds.items()}
    latency = {k: statistics.median(t for _, t in v) for k, v in rounds.items()}
    print("HITs of 20 kB files from one node (two workers), wrk -t1 -c16, medians of %d rounds of %d s:"
          % (RUNS, SECONDS))
    print("| path | requests/s | median latency |")
    print("|---|---|---|")
    print("| the node directly | %.0f | %.0f µs |" % (rate["direct"], latency["direct"]))
    print("| through the balancer | %.0f (%.3f) | %.0f µs (%+.0f µs) |" % (
        rate["balancer"], rate["balancer"] / rate["direct"], latency["balancer"],
        latency["balancer"] - latency["direct"]))


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def inside():
    why = nt.haproxy_missing()
    if why:
        nt.skip(why)
    started, before = time.monotonic(), load()
    fleet_part()
    print()
    cost_part()
    print("(%.0f s; load average %s at the start, %s at the end)"
          % (time.monotonic() - started, before, load()))


if __name__ == "__main__":
    if sys.argv[1:2] != ["--in"]:
        if len(sys.argv) != 2:
            sys.exit("usage: balancer_bench.py BUILD_DIR")
        if not shutil.which("wrk"):
            print("SKIP: wrk is not installed")
            sys.exit(nt.SKIP)
        build = os.path.abspath(sys.argv[1])
        sys.argv[1:] = ["bench", build + "/fetchwrap/fetchwrap", build + "/cachekit/libcachekit.so.1",
                        build + "/cachekit/cli/cachekit"]
    nt.run({"bench": (inside, ("--cache-size", "1g", "--knob", "hosts=" + nt.HOST))}, __file__)
