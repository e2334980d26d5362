"""Soak of the whole node, run inside the node sandbox by tools/soak_node.sh.
A few hundred viewers over a skewed popularity ask the front end for the
origin's files (whole, ranges, HEAD, seeks, leaving half-way) while a worker
is killed with -9, nginx reloads, popular URLs are purged and the disk guard
evicts all the time. Every body is checked against the origin's MD5 through
libcachekit; at the end, every file at a cache path too. Prints the report;
exit status 1 when a figure that must be 0 is not."""

import argparse
import asyncio
import collections
import concurrent.futures
import os
import random
import signal
import sys
import time
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import http11  # noqa: E402
import node  # noqa: E402
import origin as origin_files  # noqa: E402
import report  # noqa: E402

HOST = origin_files.HOST
# Bodies past this many bytes are digested in a thread, not in the event loop.
BIG = 1 << 20
# Zipf's exponent for the popularity of the URLs.
ZIPF = 1.0
# Kinds of URL whose whole file the origin serves, and the statuses each
# kind of URL may be answered with.
SERVED = ("plain", "rate", "slow", "uncached", "movie")
EXPECTED = {kind: {200, 206, 503} for kind in SERVED}
EXPECTED.update(stall={200, 206, 503, 504}, cut={200, 206, 502, 503}, fail={502, 503},
                redirect={502, 503})


class Plan:
    """One request: kind (get, query, range, head, leave, seek), method,
    target, headers, leave_after, and for a range the bytes [first, end) of
    the file it asks for (end None: up to the end)."""

    __slots__ = ("kind", "method", "target", "headers", "leave_after", "first", "end", "start")

    def __init__(self, kind, target, method="GET", headers=(), leave_after=None, first=0,
                 end=None, start=None):
        self.kind, self.target, self.method, self.headers = kind, target, method, headers
        self.leave_after, self.first, self.end, self.start = leave_after, first, end, start


def plan_for(url, rng):
    if url.kind == "movie" and rng.random() < 0.35:
        start = rng.choice(origin_files.SEEKS)
        return Plan("seek", "%s?start=%s" % (url.target, start), start=start)
    size, r = url.size, rng.random()
    if r < 0.60:
        return Plan("get", url.target)
    if r < 0.65:
        return Plan("get", "%s?v=%d" % (url.target, rng.randrange(1000)))
    if r < 0.75:
        first = rng.randrange(size)
        last = min(size - 1, first + int(size ** rng.random()))
        return Plan("range", url.target, headers=(("Range", "bytes=%d-%d" % (first, last)),),
                    first=first, end=last + 1)
    if r < 0.78:
        first = 0 if rng.random() < 0.4 else rng.randrange(size)
        return Plan("range", url.target, headers=(("Range", "bytes=%d-" % first),), first=first)
    if r < 0.81:
        count = rng.randrange(1, size + 1)
        return Plan("range", url.target, headers=(("Range", "bytes=-%d" % count),),
                    first=size - count)
    if r < 0.88:
        return Plan("head", url.target, method="HEAD")
    return Plan("leave", url.target, leave_after=rng.randrange(1, max(2, size)))


class Soak:
    def __init__(self, args, kit, origin):
        self.args = args
        self.kit = kit
        self.origin = origin
        self.front_port = int(os.environ["CN_FRONT"].rsplit(":", 1)[1])
        self.origin_port = int(os.environ["CN_ORIGIN"].rsplit(":", 1)[1])
        self.prefix = os.environ["CN_FRONT_PREFIX"]
        self.dirs = os.environ["CN_DIRS"]
        self.rng = random.Random(args.seed)
        self.urls = origin.urls
        self.by_target = {url.target: url for url in self.urls}
        weights = [1 / (rank + 1) ** ZIPF for rank in range(len(self.urls))]
        self.cum = list(_running_sum(weights))
        self.popular = [url for url in self.urls[:40] if url.kind in SERVED][:20]
        self.pool = concurrent.futures.ThreadPoolExecutor(2)
        self.kinds = list(EXPECTED)
        self.count = collections.Counter()      # named figures
        self.status = collections.Counter()
        self.xcache = collections.Counter()
        self.by_kind = collections.Counter()    # (url kind, status)
        self.ends = collections.Counter()       # (end, framing) of 2xx answers with a body
        self.plans = collections.Counter()      # plan kind of the bodies checked
        self.examples = collections.defaultdict(list)
        self.odd_targets = []                   # URLs with unexpected statuses, in order
        self.peak = collections.Counter()
        self.low_free = None
        self.stopping = False

    def master(self):
        with open(os.path.join(self.prefix, "run/nginx.pid")) as f:
            return int(f.read())

    def note(self, what, text):
        self.count[what] += 1
        if len(self.examples[what]) < report.EXAMPLES:
            self.examples[what].append(text)

    async def digest(self, data):
        if len(data) > BIG:
            return await asyncio.get_running_loop().run_in_executor(self.pool, self.kit.md5, data)
        return self.kit.md5(data)

    async def origin_digest(self, name, first, count):
        if count > BIG:
            return await asyncio.get_running_loop().run_in_executor(
                self.pool, self.origin.digest, name, first, count)
        return self.origin.digest(name, first, count)

    # ------------------------------------------------------------ viewers
    async def ask(self, conn, plan):
        for attempt in (1, 2):
            try:
                return await conn.request(plan.method, plan.target, plan.headers, plan.leave_after)
            except http11.NoAnswer as e:
                if e.reused and attempt == 1:
                    self.count["stale keep-alive connections, asked again"] += 1
                    continue
                self.count["connections lost before a status line"] += 1
                return None
        return None

    async def viewer(self, n):
        rng = random.Random("%s-%d" % (self.args.seed, n))
        conn = http11.Conn(self.front_port, HOST, self.args.timeout)
        while not self.stopping:
            url = rng.choices(self.urls, cum_weights=self.cum)[0]
            plan = plan_for(url, rng)
            answer = await self.ask(conn, plan)
            if answer:
                await self.check(url, plan, answer)
            await asyncio.sleep(rng.uniform(0, self.args.think))
        conn.close()

    def region(self, url, plan, answer):
        """The bytes [first, end) of the file that a 200 or 206 answer stands
        for, or None when its Content-Range is not the one asked."""
        if answer.status == 200:
            return 0, url.size
        text = answer.headers.get("content-range", "")
        try:
            unit, _, rest = text.partition(" ")
            span, _, total = rest.partition("/")
            first, last = (int(x) for x in span.split("-"))
        except ValueError:
            return None
        end = url.size if plan.end is None else min(plan.end, url.size)
        if unit != "bytes" or total not in ("*", str(url.size)) or (first, last + 1) != (plan.first, end):
            return None
        return first, last + 1

    async def check(self, url, plan, answer):
        self.count["requests answered"] += 1
        self.status[answer.status] += 1
        self.xcache[answer.headers.get("x-cache", "none")] += 1
        self.by_kind[url.kind, answer.status] += 1
        what = "%s %s%s" % (plan.method, plan.target, "".join(" [%s: %s]" % h for h in plan.headers))
        if answer.end in ("stuck", "bad"):
            self.note("answers stuck or not HTTP/1.1", "%s: %s after %d bytes"
                      % (what, answer.end, len(answer.body)))
            return
        if answer.status not in EXPECTED[url.kind]:
            self.note("unexpected statuses", "%s: %d (%s)" % (what, answer.status, url.kind))
            if answer.status == 404 and url.kind in SERVED:
                self.count["404 for URLs the origin serves"] += 1
            if url.target not in self.odd_targets:
                self.odd_targets.append(url.target)
        if answer.status == 503 and "retry-after" not in answer.headers:
            self.note("503 without Retry-After", what)
        if answer.status not in (200, 206):
            return
        if plan.method == "HEAD":
            length = answer.headers.get("content-length")
            if url.good == 0 or (length is not None and length != str(url.size)):
                self.note("wrong bodies that ended cleanly",
                          "%s: HEAD %d, Content-Length %s of %d" % (what, answer.status, length, url.size))
            return
        # full: the bytes a whole answer holds; limit: how many of them can
        # be right (a fault's origin sent only its first bytes); want: the
        # digest of the bytes the body should hold so far.
        body = answer.body
        if plan.kind == "seek":
            ref = url.seeks[plan.start]
            full = limit = len(ref) if answer.status == 200 else -1
            want = await self.digest(ref[:len(body)]) if len(body) <= limit else None
        else:
            region = self.region(url, plan, answer)
            if region is None:
                self.note("wrong bodies that ended cleanly", "%s: %d with Content-Range '%s'"
                          % (what, answer.status, answer.headers.get("content-range")))
                return
            first, end = region
            full, limit = end - first, min(end, url.good) - first
            want = (await self.origin_digest(url.file, first, len(body))
                    if len(body) <= limit else None)
        got = await self.digest(body)
        right = got == want
        self.ends[answer.end, answer.framing] += 1
        self.plans[plan.kind] += 1
        self.count["bodies checked"] += 1
        if answer.end == "clean":
            if not (right and len(body) == full and full <= limit):
                self.note("wrong bodies that ended cleanly", "%s: %d %s, %d bytes, md5 %s, want %s"
                          % (what, answer.status, answer.headers.get("x-cache"), len(body), got, want))
        elif answer.end == "cut":
            self.count["cut responses"] += 1
            self.count["cut on URLs the origin serves whole" if url.kind in SERVED
                       else "cut on fault URLs"] += 1
            if not right:
                self.note("cut responses with wrong bytes before the cut", "%s: %d bytes, md5 %s, want %s"
                          % (what, len(body), got, want))
        elif answer.end == "left":
            self.count["viewers who left half-way"] += 1
            if not right:
                self.note("viewers who left with wrong bytes", "%s: %d bytes" % (what, len(body)))
        else:
            self.note("bodies ended by the connection's close (no framing)", "%s: %d bytes"
                      % (what, len(body)))

    # ------------------------------------------------------------ faults
    async def every(self, period, action):
        deadline = self.t0 + period
        while not self.stopping:
            await asyncio.sleep(max(0, deadline - time.monotonic()))
            if self.stopping:
                return
            await action()
            deadline += period

    async def kill_worker(self):
        serving = node.workers(self.master())
        if serving:
            os.kill(self.rng.choice(serving), signal.SIGKILL)
            self.count["workers killed with -9"] += 1

    async def reload(self):
        proc = await asyncio.create_subprocess_exec(
            "nginx", "-p", self.prefix, "-c", self.prefix + "/nginx.conf", "-e",
            self.prefix + "/logs/error.log", "-s", "reload", stdout=asyncio.subprocess.DEVNULL,
            stderr=asyncio.subprocess.DEVNULL)
        self.count["reloads" if await proc.wait() == 0 else "reloads that failed"] += 1

    async def purge(self):
        url = self.rng.choice(self.popular)
        conn = http11.Conn(self.front_port, HOST, self.args.timeout)
        try:
            answer = await conn.request("PURGE", url.target)
            self.count["purges answered %d" % answer.status] += 1
        except http11.NoAnswer:
            self.count["purges unanswered"] += 1
        conn.close()

    async def sample(self):
        while not self.stopping:
            for pid in node.workers(self.master()):
                fds, rss = node.descriptors(pid), node.rss_kb(pid)
                if fds and rss:
                    self.peak["worker descriptors"] = max(self.peak["worker descriptors"], fds)
                    self.peak["worker VmRSS kB"] = max(self.peak["worker VmRSS kB"], rss)
            fetching = len(node.fetch_processes(self.origin_port))
            self.peak["fetch processes"] = max(self.peak["fetch processes"], fetching)
            st = os.statvfs("/node/cache")
            free = st.f_bavail * st.f_frsize
            self.low_free = free if self.low_free is None else min(self.low_free, free)
            await asyncio.sleep(2)

    async def run(self):
        self.t0 = time.monotonic()
        viewers = [asyncio.create_task(self.viewer(n)) for n in range(self.args.viewers)]
        faults = [asyncio.create_task(self.every(self.args.kill_every, self.kill_worker)),
                  asyncio.create_task(self.every(self.args.reload_every, self.reload)),
                  asyncio.create_task(self.every(self.args.purge_every, self.purge)),
                  asyncio.create_task(self.sample())]
        await asyncio.sleep(self.args.seconds)
        self.stopping = True
        for task in faults:
            task.cancel()
        done, pending = await asyncio.wait(viewers, timeout=self.args.timeout + 10)
        for task in pending:
            task.cancel()
            self.note("viewers still reading after the load stopped", "")
        for task in done:
            task.result()
        self.elapsed = time.monotonic() - self.t0


def _running_sum(values):
    total = 0.0
    for value in values:
        total += value
        yield total


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--viewers", type=int, default=300)
    parser.add_argument("--seed", default=str(int(time.time())))
    parser.add_argument("--think", type=float, default=0.2, help="most seconds a viewer waits between requests")
    parser.add_argument("--timeout", type=float, default=30, help="seconds an answer may go without a byte")
    parser.add_argument("--kill-every", type=float, default=20)
    parser.add_argument("--reload-every", type=float, default=30)
    parser.add_argument("--purge-every", type=float, default=5)
    parser.add_argument("--settle", type=float, default=30, help="most seconds to wait for downloads to end")
    args = parser.parse_args()

    work = "/tmp/soak"
    os.makedirs(work, exist_ok=True)
    kit = origin_files.Kit(os.environ["CN_LIB"])
    began = time.monotonic()
    origin = origin_files.build(os.environ["CN_FILES"], kit, random.Random(args.seed), work)
    origin_files.add_seeks(origin, int(os.environ["CN_SPARE_PORT"]), work)
    print("soak: origin ready in %.1f s" % (time.monotonic() - began), flush=True)

    soak = Soak(args, kit, origin)
    start = report.settled_workers(soak.master())
    asyncio.run(soak.run())
    return report.after_load(soak, start)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception:
        traceback.print_exc()
        sys.exit(2)
