#!/usr/bin/env python3
"""The operator's view: the front end's series after a known sequence of
requests, as promtool reads them; PURGE of a cached file, of one not cached
and during its download; a real Prometheus that scrapes the front end and
node_exporter, which serves dispatch_listen's textfile."""

import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nodetest import (HOST, cache_path, check, fail, free_ports, front, get,  # noqa: E402
                      has_bytes, make_file, metrics_text, run, start_viewer, temp_of, wait_until)

# The series (without the cachenode_ prefix) after series()'s requests.
WANTS = (
    'requests_total{result="hit"} 2', 'requests_total{result="miss"} 1',
    'requests_total{result="refused"} 1', 'requests_total{result="failed"} 1',
    'fetches_total{outcome="ok"} 1', 'fetches_total{outcome="failed"} 1',
    "fetched_bytes_total 5000", "fetch_duration_seconds_count 2", "purges_total 0",
)
RATIO = ('sum(rate(cachenode_requests_total{result="hit"}[15s]))'
         ' / sum(rate(cachenode_requests_total[15s]))')
PROMETHEUS_YML = """global: { scrape_interval: 1s }
scrape_configs:
  - job_name: cachenode
    metrics_path: /cachenode/metrics
    static_configs: [ { targets: ["%s"] } ]
  - job_name: node
    static_configs: [ { targets: ["127.0.0.1:%d"] } ]
"""


def metrics():
    """The series, PURGE, then Prometheus over both exporters."""
    make_file("vod/m.mp4", 5000)
    make_file("vod/big.mp4", 1000000)
    series()
    purge()
    prometheus()


def series():
    """A MISS, two HITs (one a range), a refused site and a failed download."""
    get("/vod/m.mp4")
    get("/vod/m.mp4")
    get("/vod/m.mp4", headers=("Range: bytes=0-9",))
    get("/vod/m.mp4", host="evil.example")
    get("/fail/m.mp4")
    # Each worker hands its request counts over within a second.
    if not wait_until(lambda: all("cachenode_" + want in metrics_text().splitlines() for want in WANTS)):
        fail("metrics: not all of %s in\n%s" % (", ".join(WANTS), "\n".join(
            line for line in metrics_text().splitlines() if not line.startswith("#"))))
    if shutil.which("promtool"):
        done = subprocess.run(["promtool", "check", "metrics"], input=metrics_text(), text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        check(done.returncode == 0, "promtool check metrics: %s" % done.stdout)


def purge():
    """PURGE of a cached file (200), again (404), during its download (the
    viewer is cut, nothing is kept), and beside viewers of the same file."""
    path = cache_path("http://%s/vod/m.mp4" % HOST)
    for want in (200, 404):
        status = get("/vod/m.mp4", method="PURGE").status
        check(status == want, "PURGE: status %d, not %d" % (status, want))
    check(not os.path.exists(path), "PURGE left %s" % path)
    path = cache_path("http://%s/slow/vod/big.mp4" % HOST)
    viewer = start_viewer("/slow/vod/big.mp4", "/tmp/viewer")
    check(wait_until(lambda: has_bytes("/tmp/viewer")), "the slow download sent nothing")
    status = get("/slow/vod/big.mp4", method="PURGE").status
    check(status == 200, "PURGE during the download: status %d" % status)
    viewer.communicate()
    check(viewer.returncode == 18, "the viewer of a purged download: curl exit %d, not a cut (18)"
          % viewer.returncode)
    check(wait_until(lambda: not os.path.exists(path) and not temp_of(path)), "a purged download left a file")
    check("cachenode_purges_total 2" in metrics_text().splitlines(), "metrics: purges_total is not 2")

    # Regression: a file purged between its download's end and nginx serving
    # it gave 404. Viewers and purges of one file for three seconds.
    make_file("vod/p.jpg", 20000)
    end = time.monotonic() + 3

    def view():
        statuses = []
        while time.monotonic() < end:
            # A viewer cut by the purge (curl 18) goes on asking.
            statuses.append(get("/vod/p.jpg").status)
        return statuses

    with ThreadPoolExecutor(4) as pool:
        viewers = [pool.submit(view) for _ in range(4)]
        while time.monotonic() < end:
            get("/vod/p.jpg", method="PURGE")
        seen = Counter(status for v in viewers for status in v.result())
    check(set(seen) <= {200, 503}, "viewers during purges got %s" % dict(seen))


def datagram(port):
    """A status datagram: 198.51.100.7, status 1, in 3, out 5 (units of 2^20
    bit/s)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(struct.pack("<7I", 110, 0xC6336407, 1, 3, 5, 0, 0), ("127.0.0.1", port))


def query(server, promql):
    """The first value Prometheus answers promql with, or 'none'."""
    answer = get("/api/v1/query", host=None, server=server,
                 extra=("-G", "--data-urlencode", "query=" + promql))
    try:
        result = json.loads(answer.body)["data"]["result"]
    except (ValueError, KeyError):
        return "none"
    return result[0]["value"][1] if result else "none"


def prometheus():
    """Prometheus answers a hit-ratio query and has the listener's series."""
    if not (shutil.which("prometheus") and shutil.which("prometheus-node-exporter")):
        print("SKIP: prometheus or prometheus-node-exporter is not installed (tools/bootstrap.sh)")
        return
    listen = free_ports(1, socket.SOCK_DGRAM)[0]
    exporter, port = free_ports(2)
    prom = "127.0.0.1:%d" % port
    os.makedirs("/tmp/textfile")
    with open("/tmp/prom.yml", "w") as f:
        f.write(PROMETHEUS_YML % (front(), exporter))
    started = []
    try:
        started.append(subprocess.Popen(["/node/bin/dispatch_listen", "127.0.0.1:%d" % listen,
                                         "--textfile", "/tmp/textfile"], stdout=subprocess.DEVNULL))
        started.append(subprocess.Popen([
            "prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % exporter,
            "--collector.disable-defaults", "--collector.textfile",
            "--collector.textfile.directory=/tmp/textfile"], stderr=subprocess.DEVNULL))
        with open("/tmp/prom.log", "w") as log:
            started.append(subprocess.Popen([
                "prometheus", "--config.file=/tmp/prom.yml", "--storage.tsdb.path=/tmp/prom",
                "--web.listen-address=" + prom], stdout=log, stderr=subprocess.STDOUT))
        if not wait_until(lambda: get("/-/ready", host=None, server=prom).status == 200, 30):
            with open("/tmp/prom.log") as log:
                print("SKIP: prometheus did not start: %s" % " ".join(log.read().splitlines()[-3:]))
            return

        def have_ratio():
            get("/vod/big.mp4")
            time.sleep(0.2)
            return re.fullmatch(r"[0-9.]+", query(prom, RATIO))

        if not wait_until(have_ratio, 20):
            fail("Prometheus answers the hit ratio with '%s'" % query(prom, RATIO))
        listened = "cachenode_interface_receive_bytes_per_second"

        def heard():
            # Sent again on each look, as the listener may not be bound yet.
            datagram(listen)
            return query(prom, listened) == "393216"

        if not wait_until(heard, 20):
            fail("Prometheus has no listener series: '%s'" % query(prom, listened))
    finally:
        for program in started:
            program.kill()
            program.wait()


GROUPS = {
    "metrics": (metrics, lambda dispatch_listen: ["--extra", dispatch_listen]),
}

if __name__ == "__main__":
    run(GROUPS, __file__)
