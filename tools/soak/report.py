"""The soak once its load has stopped: the downloads left to settle, every
file in the cache directories held to the origin's, what is left behind
(temporary and spool files, fetch processes, workers of a reload), the
workers' descriptors and memory, and the printed report with its verdict."""

import collections
import os
import re
import time

import http11
import node
from origin import HOST

# Figures that must be 0 for the soak to pass.
MUST_BE_ZERO = ("wrong bodies that ended cleanly", "cut responses with wrong bytes before the cut",
                "viewers who left with wrong bytes", "bodies ended by the connection's close (no framing)",
                "answers stuck or not HTTP/1.1", "partial or wrong files at cache paths",
                "fetch processes left", "queries that reached the origin", "worker descriptors grew",
                "404 for URLs the origin serves")
EXAMPLES = 5


def sample_workers(master):
    """The master first, then its workers: (pid, descriptors, VmRSS kB)."""
    return [(pid, node.descriptors(pid), node.rss_kb(pid)) for pid in [master] + node.workers(master)]


def settled_workers(master, looks=5, pause=0.2):
    """sample_workers() with each process's fewest descriptors of a few looks
    apart: a connection that is closing or a file open for a moment is not a
    descriptor lost, and a leak stays in every look."""
    fewest = {}
    sample = []
    for look in range(looks):
        if look:
            time.sleep(pause)
        sample = sample_workers(master)
        for pid, fds, _ in sample:
            if fds is not None:
                fewest[pid] = min(fds, fewest.get(pid, fds))
    return [(pid, fewest.get(pid, fds), rss) for pid, fds, rss in sample]


def _text_of(sample):
    return ", ".join("%s fd %s kB" % (fds, rss) for _, fds, rss in sample)


def _lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().splitlines()
    except OSError:
        return []


def _metrics(port):
    answer = http11.ask_once(port, HOST, "GET", "/cachenode/metrics")
    values = {}
    for line in (answer.body.decode() if answer else "").splitlines():
        if line and not line.startswith("#"):
            name, _, value = line.rpartition(" ")
            values[name] = float(value)
    return values


def _kept_by_notification(port, path):
    """Whether the front end answers checkdisk's notification for path with
    409, as for the file of a running download, which the guard must keep."""
    answer = http11.ask_once(port, HOST, "HEAD", "/cachenode/ondelete?node=soak&vid=" + path)
    return answer is not None and answer.status == 409


def _error_log(path, most=8):
    """The front end's error log lines of level error and above, by message
    with numbers and quoted texts blanked, most frequent first, each with
    its first line as it stands; the lines of the client's curl that could
    not write its output (a full disk); and the exit statuses of fetchwrap
    as its owner saw them (128 + the signal's number when killed by anyone
    but its owner, who kills only after it has stopped watching)."""
    kinds = collections.Counter()
    first = {}                  # kind -> its first line as it stands
    unwritten = 0
    exits = collections.Counter()
    for raw in _lines(path):
        line = raw.decode("latin-1")
        unwritten += line.startswith("curl: (23)")
        found = re.search(r'\[warn\] .*cachenode: fetchwrap ".*" exited with (\d+)', line)
        if found:
            exits[int(found.group(1))] += 1
        found = re.search(r"\[(error|crit|alert|emerg)\] \d+#\d+: (?:\*\d+ )?(.*)", line)
        if found:
            text = re.sub(r'"[^"]*"', '"..."', found.group(2).split(", client:")[0])
            kind = "[%s] %s" % (found.group(1), re.sub(r"\d+", "N", text))
            kinds[kind] += 1
            first.setdefault(kind, line)
    return [(kind, n, first[kind]) for kind, n in kinds.most_common(most)], unwritten, exits


def _check_cache(soak):
    """Every regular file of the cache directories: a temporary one, or the
    origin's file of its URL at the path uri2d gives for it (the path below
    the cache directory is HOST/PATH). Returns the files checked and the
    temporary files with their owner's pid."""
    checked, temps = 0, []
    for top, path in node.cache_files(soak.dirs.split("|")):
        found = node.TEMP.search(path)
        if found:
            temps.append((path, int(found.group(1))))
            continue
        checked += 1
        text = path[len(top) + 1:]
        host, _, target = text.partition("/")
        url = soak.by_target.get("/" + target)
        if host != HOST or url is None:
            why = "the file of no URL of the soak"
        elif url.good < url.size:
            why = "a fault URL (%s) has a file" % url.kind
        elif soak.kit.uri2d(text, soak.dirs) != path:
            why = "not at uri2d's path %s" % soak.kit.uri2d(text, soak.dirs)
        else:
            with open(path, "rb") as f:
                data = f.read()
            got, want = soak.kit.md5(data), soak.origin.digests[url.file]
            why = None if got == want else "%d bytes, md5 %s; the origin's: %d bytes, md5 %s" % (
                len(data), got, url.size, want)
        if why:
            soak.note("partial or wrong files at cache paths", "%s: %s" % (path, why))
    return checked, temps


def _history(soak, target, out):
    """What the logs tell of a URL that got an unexpected status: the front
    end's answers other than 200 and 206, the error log's and the guard's
    lines naming its cache file, and the client's runs for it."""
    path = soak.kit.uri2d(HOST + target, soak.dirs)
    request = (' %s ' % target).encode()
    odd = [line for line in _lines(os.path.join(soak.prefix, "logs/access.log"))
           if request in line and not re.search(rb'" 20[06] ', line)]
    out("    history of %s (%s):" % (target, path))
    for line in odd[:EXAMPLES]:
        out("      access log: %s" % line.decode("latin-1")[:160])
    out("      access log: %d answers other than 200 and 206" % len(odd))
    for name in (os.path.join(soak.prefix, "logs/error.log"), os.environ["CN_AUTODEL"]):
        for line in [line for line in _lines(name) if path.encode() in line][:10]:
            out("      %s: %s" % (os.path.basename(name), line.decode("latin-1")[:240]))
    # A run's line: "pid tulaudp://HOST:PORT/PATH OUTPUT".
    url = (":%d%s " % (soak.origin_port, target)).encode()
    runs = sum(1 for line in _lines(os.environ["CN_CLIENT_LOG"]) if url in line)
    out("      client runs: %d" % runs)


def after_load(soak, start):
    """Waits for the downloads to end, surveys the node, prints the report.
    Returns the exit status: 1 when a figure that must be 0 is not."""
    # Workers of a reload exit once their last request and download end; until
    # then the master and the new workers hold a channel to each of them.
    master = soak.master()
    began = time.monotonic()
    while (node.fetch_processes(soak.origin_port) or node.leaving(master)) and (
            time.monotonic() - began < soak.args.settle):
        time.sleep(0.5)
    settled = time.monotonic() - began
    # An owner renames or removes within a poll of fetchwrap's exit.
    time.sleep(1)
    fetching = node.fetch_processes(soak.origin_port)
    soak.count["fetch processes left"] = len(fetching)
    checked, temps = _check_cache(soak)
    # A spool file is named "<worker pid>-<n>.part".
    spool = [int(name.split("-")[0]) for name in os.listdir(os.environ["CN_SPOOL"])]
    end = settled_workers(master)
    # An idle worker holds the same descriptors whatever it has served.
    if max(fds or 0 for _, fds, _ in end[1:]) > max(fds or 0 for _, fds, _ in start[1:]):
        soak.count["worker descriptors grew"] = 1
    origin_log = _lines("/node/origin/logs/access.log")
    # An access log line holds its request line between the first quotes.
    queries = sum(1 for line in origin_log if b"?" in (line.split(b'"') + [b"", b""])[1])
    soak.count["queries that reached the origin"] = queries

    c, out = soak.count, print

    def joined(counter):
        return ", ".join("%s %d" % (k, counter[k]) for k in sorted(counter))

    out("soak: %.0f s of load, %d viewers, %d URLs over %d origin files (%.0f MB), seed %s"
        % (soak.elapsed, soak.args.viewers, len(soak.urls), len(soak.origin.digests),
           soak.origin.total / 1e6, soak.args.seed))
    out("requests answered: %d (%.0f/s)" % (c["requests answered"], c["requests answered"] / soak.elapsed))
    out("  by status: " + joined(soak.status))
    out("  by X-Cache: " + joined(soak.xcache))
    for kind in soak.kinds:
        statuses = sorted(s for k, s in soak.by_kind if k == kind)
        out("  %-9s %s" % (kind + ":", ", ".join("%d %d" % (s, soak.by_kind[kind, s]) for s in statuses)))
    out("bodies checked: %d (%s; %s)" % (c["bodies checked"], joined(soak.plans), ", ".join(
        "%s/%s %d" % (e, f, n) for (e, f), n in sorted(soak.ends.items()))))
    out("wrong bodies that ended cleanly: %d" % c["wrong bodies that ended cleanly"])
    out("cut responses: %d, each a cut (the connection ended before the final chunk or the"
        " Content-Length): %d on URLs the origin serves whole, %d on fault URLs; wrong bytes"
        " before the cut: %d" % (c["cut responses"], c["cut on URLs the origin serves whole"],
                                 c["cut on fault URLs"], c["cut responses with wrong bytes before the cut"]))
    out("viewers who left half-way: %d (wrong bytes: %d)" % (
        c["viewers who left half-way"], c["viewers who left with wrong bytes"]))
    out("bodies without framing: %d; answers stuck or not HTTP/1.1: %d; 503 without Retry-After: %d"
        % (c["bodies ended by the connection's close (no framing)"], c["answers stuck or not HTTP/1.1"],
           c["503 without Retry-After"]))
    out("unexpected statuses: %d, of which 404 for URLs the origin serves: %d"
        % (c["unexpected statuses"], c["404 for URLs the origin serves"]))
    out("connections lost before a status line: %d; stale keep-alive connections asked again: %d"
        % (c["connections lost before a status line"], c["stale keep-alive connections, asked again"]))
    out("faults: workers killed with -9 %d, reloads %d (failed %d), purges %s"
        % (c["workers killed with -9"], c["reloads"], c["reloads that failed"],
           ", ".join("%s %d" % (k[7:], n) for k, n in sorted(c.items()) if k.startswith("purges "))))
    out("during the load: at most %d fetch processes, cache tmpfs at least %.1f MB free, workers at most"
        " %d descriptors and %d kB VmRSS" % (soak.peak["fetch processes"], (soak.low_free or 0) / 1e6,
                                            soak.peak["worker descriptors"], soak.peak["worker VmRSS kB"]))
    out("after the load (downloads settled in %.1f s):" % settled)
    out("  partial or wrong files at cache paths: %d (of %d files checked)"
        % (c["partial or wrong files at cache paths"], checked))
    dead = [path for path, owner in temps if not node.alive(owner)]
    kept = [path for path in dead if _kept_by_notification(soak.front_port, path)]
    out("  temporary files left: %d (%d of a dead worker, of which the guard's notification keeps %d);"
        " spool files left: %d (%d of a dead worker)"
        % (len(temps), len(dead), len(kept), len(spool), sum(1 for owner in spool if not node.alive(owner))))
    error_log = os.path.join(soak.prefix, "logs/error.log")
    for path in kept[:EXAMPLES]:
        out("    kept: %s" % path)
    for name in sorted(os.listdir(os.environ["CN_SPOOL"]))[:EXAMPLES]:
        path = os.path.join(os.environ["CN_SPOOL"], name)
        out("    spool file %s, %d bytes, its worker %s" % (
            path, os.path.getsize(path), "alive" if node.alive(int(name.split("-")[0])) else "dead"))
        for line in [line for line in _lines(error_log) if path.encode() in line][-3:]:
            out("      error log: %s" % line.decode("latin-1")[:300])
    out("  fetch processes left: %d" % len(fetching))
    for pid, ppid, comm, cmdline in fetching:
        if comm == "fetchwrap":
            out("    pid %d (parent %d): %s" % (pid, ppid, cmdline))
    out("  workers of a reload still shutting down: %d" % len(node.leaving(master)))
    out("  master at the start: %s; at the end: %s" % (_text_of(start[:1]), _text_of(end[:1])))
    out("  workers at the start: %s" % _text_of(start[1:]))
    out("  workers at the end:   %s" % _text_of(end[1:]))
    out("origin downloads: %d (access log lines; %d client runs) for %d MISS answers; queries that"
        " reached the origin: %d" % (len(origin_log), len(_lines(os.environ["CN_CLIENT_LOG"])),
                                     soak.xcache["MISS"], queries))
    m = _metrics(soak.front_port)
    out("front end's counters: fetches %s; requests %s; guard removed %d files" % (
        ", ".join("%s %d" % (o, m.get('cachenode_fetches_total{outcome="%s"}' % o, 0))
                  for o in ("ok", "failed", "idle", "timeout", "busy", "cancelled", "yielded")),
        ", ".join("%s %d" % (r, m.get('cachenode_requests_total{result="%s"}' % r, 0))
                  for r in ("hit", "miss", "refused", "failed")),
        sum(v for k, v in m.items() if k.startswith("cachenode_guard_removed_files_total"))))
    top = [url for url in soak.urls if url.kind in ("plain", "movie")][:20]
    paths = {soak.kit.uri2d(HOST + url.target, soak.dirs).encode() for url in top}
    removals = [line.rsplit(b" ", 1)[-1] for line in _lines(os.environ["CN_AUTODEL"])
                if b" autodel " in line and b" can not autodel " not in line]
    out("guard removals: %d, of which files of the 20 most popular URLs: %d"
        % (len(removals), sum(1 for path in removals if path in paths)))
    kinds, unwritten, exits = _error_log(error_log)
    out("downloads whose client could not write its file (curl: (23), the cache disk full): %d" % unwritten)
    out("fetchwrap exit statuses its owner saw (not 0): %s; killed by another process (137): %d"
        % (", ".join("%d x %d" % (n, code) for code, n in sorted(exits.items())) or "none", exits[137]))
    for text, n, line in kinds:
        out("  error log: %d x %s" % (n, text[:200]))
        out("    first: %s" % line[:300])
    for what, examples in soak.examples.items():
        for text in examples:
            out("  %s: %s" % (what, text))
    for target in soak.odd_targets[:3]:
        _history(soak, target, out)

    failed = [what for what in MUST_BE_ZERO if c[what]]
    out("FAIL: " + "; ".join(failed) if failed else "PASS", flush=True)
    return 1 if failed else 0
