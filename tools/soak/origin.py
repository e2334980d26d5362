"""The soak's origin and what a right answer holds: files of many sizes below
the origin's directory, a few real MP4s, and the URLs that reach them (plain,
paced, faulty, uncached), in order of popularity. Each URL knows its origin
file and how many of its leading bytes a right answer may carry. Digests come
from libcachekit's md5data through ctypes."""

import ctypes
import http.client
import math
import os
import subprocess

# The site the soak's URLs belong to (the front end's hosts knob).
HOST = "soak.example"
# uri2d's answer never exceeds 3067 bytes (cachekit.h); md5data writes 33.
PATH_MAX_BYTES = 3067
MD5_BYTES = 33

# Sizes: log-uniform between the bounds, most files small, a few large.
SMALL = (2400, 1000, 128 << 10)
MEDIUM = (160, 128 << 10, 2 << 20)
LARGE_MB = (8, 12, 16, 20, 24, 32)
EXTENSIONS = (".ts", ".m4s", ".jpg", ".bin", ".mp4")
# Real MP4s: (seconds, faststart). Without faststart the index sits at the
# end, as a camera writes it.
MOVIES = ((12, True), (16, False), (20, True), (24, False))
SEEKS = (1, 3.5, 7, 10.5)


class Kit:
    """libcachekit.so.1 through ctypes; every export is thread-safe."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.lib.md5data.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int]
        self.lib.md5data.restype = None
        self.lib.uri2d.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
        self.lib.uri2d.restype = None

    def md5(self, data):
        out = ctypes.create_string_buffer(MD5_BYTES)
        if isinstance(data, bytearray) and data:
            view = (ctypes.c_char * len(data)).from_buffer(data)
            self.lib.md5data(out, view, len(data))
            del view  # the bytearray may grow again once the view is gone
        else:
            self.lib.md5data(out, bytes(data), len(data))
        return out.value.decode()

    def uri2d(self, text, dirs):
        out = ctypes.create_string_buffer(PATH_MAX_BYTES)
        self.lib.uri2d(out, text.encode(), dirs.encode())
        return out.value.decode()


class Url:
    """target: what a viewer asks for; kind: plain, rate, slow, stall, cut,
    fail, redirect, uncached or movie; file: the origin file below FILES;
    good: how many leading bytes of file a right answer may carry (all of
    them but for a fault); seeks: start -> the bytes of the answer to
    ?start=."""

    __slots__ = ("target", "kind", "file", "size", "good", "seeks")

    def __init__(self, target, kind, file, size, good=None):
        self.target, self.kind, self.file, self.size = target, kind, file, size
        self.good = size if good is None else good
        self.seeks = {}


class Origin:
    def __init__(self, files, kit):
        self.files = files
        self.kit = kit
        self.digests = {}           # origin file -> md5 of all of it
        self.urls = []              # by popularity, most popular first
        self.total = 0

    def write(self, name, data):
        path = os.path.join(self.files, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        self.digests[name] = self.kit.md5(data)
        self.total += len(data)
        return len(data)

    def digest(self, name, first, count):
        """md5 of count bytes of origin file name from byte first."""
        if first == 0 and count == self.size_of(name):
            return self.digests[name]
        with open(os.path.join(self.files, name), "rb") as f:
            return self.kit.md5(os.pread(f.fileno(), count, first))

    def size_of(self, name):
        return os.path.getsize(os.path.join(self.files, name))


def _log_uniform(rng, low, high):
    return int(math.exp(rng.uniform(math.log(low), math.log(high))))


def build(files, kit, rng, work):
    """Writes the origin's files and returns the Origin with its URLs."""
    origin = Origin(files, kit)
    ordinary, placed = [], []   # placed: (rank, Url) at a chosen popularity

    def place(low, high, url):
        placed.append((rng.randrange(low, high), url))

    sizes = [_log_uniform(rng, *SMALL[1:]) for _ in range(SMALL[0])]
    sizes += [_log_uniform(rng, *MEDIUM[1:]) for _ in range(MEDIUM[0])]
    plain = []
    for n, size in enumerate(sizes):
        name = "vod/g%02d/f%04d%s" % (n % 100, n, rng.choice(EXTENSIONS))
        origin.write(name, os.urandom(size))
        url = Url("/" + name, "plain", name, size)
        plain.append(url)
        ordinary.append(url)
    for n, mb in enumerate(LARGE_MB):
        name = "vod/large/l%d.bin" % n
        size = origin.write(name, os.urandom(mb << 20))
        place(300, 2000, Url("/" + name, "plain", name, size))

    # The same files paced by the origin: each download takes 1 to 6 s.
    for url in rng.sample(plain, 150):
        rate = max(4096, int(url.size / rng.uniform(1, 6)))
        ordinary.append(Url("/rate/%d/%s" % (rate, url.file), "rate", url.file, url.size))
    small = [url for url in plain if url.size <= 192 << 10]
    for url in rng.sample(small, 16):
        place(10, 400, Url("/slow/" + url.file, "slow", url.file, url.size))

    # Faults: a stall after N bytes (past fetch_idle_timeout), a cut after N
    # bytes, 500 and 302 at the origin. Only the first N bytes are ever right.
    faulty = rng.sample([url for url in plain if url.size > 1000], 32)
    for i, url in enumerate(faulty[:10]):
        count = 0 if i < 3 else rng.randrange(1, url.size)
        place(5, 400, Url("/fault/stall/%d/%s" % (count, url.file), "stall", url.file, url.size, good=count))
    for url in faulty[10:20]:
        count = rng.randrange(0, url.size)
        place(5, 400, Url("/fault/cut/%d/%s" % (count, url.file), "cut", url.file, url.size, good=count))
    for url in faulty[20:26]:
        place(5, 400, Url("/fail/" + url.file, "fail", url.file, url.size, good=0))
    for url in faulty[26:32]:
        place(5, 400, Url("/redirect/" + url.file, "redirect", url.file, url.size, good=0))

    # Names the cache cannot hold whole (a second extension): each request
    # is its own download into the spool.
    for n in range(8):
        name = "vod/u/clip%d.v1.mp4" % n
        size = origin.write(name, os.urandom(_log_uniform(rng, 2000, 300 << 10)))
        place(20, 300, Url("/" + name, "uncached", name, size))

    for n, (seconds, faststart) in enumerate(MOVIES):
        name = "play/p%d.mp4" % n
        size = _make_movie(os.path.join(files, name), seconds, faststart, work)
        with open(os.path.join(files, name), "rb") as f:
            origin.digests[name] = kit.md5(f.read())
        origin.total += size
        place(0, 40, Url("/" + name, "movie", name, size))
        if n < 2:
            place(0, 100, Url("/rate/%d/%s" % (size // 4, name), "movie", name, size))

    rng.shuffle(ordinary)
    for rank, url in sorted(placed, key=lambda pair: pair[0]):
        ordinary.insert(min(rank, len(ordinary)), url)
    origin.urls = ordinary
    return origin


def _make_movie(path, seconds, faststart, work):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    raw = os.path.join(work, "movie.mp4")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=duration=%d:size=480x270:rate=25" % seconds, "-c:v", "libx264",
                    "-preset", "ultrafast", "-b:v", "1500k", "-g", "25", "-pix_fmt", "yuv420p",
                    raw], check=True)
    flags = ["-movflags", "+faststart"] if faststart else []
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-i", raw, "-c", "copy", *flags, path],
                   check=True)
    os.unlink(raw)
    return os.path.getsize(path)


def _duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                          "csv=p=0", path], check=True, capture_output=True, text=True).stdout
    return float(out.strip())


def add_seeks(origin, port, work):
    """The answer of nginx's mp4 module to every ?start= of SEEKS on every
    movie, from an nginx of our own on port that serves the origin's files
    with mp4 (the origin runs no mp4 module): the front end must answer the
    same bytes. Each answer's duration is checked with ffprobe first."""
    prefix = os.path.join(work, "oracle")
    os.makedirs(os.path.join(prefix, "logs"), exist_ok=True)
    with open(os.path.join(prefix, "nginx.conf"), "w") as f:
        # Debian's compiled-in temporary paths lie outside the sandbox.
        temps = "".join("    %s_temp_path %s/%s;\n" % (kind, prefix, kind)
                        for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        f.write("worker_processes 1;\npid %s/nginx.pid;\nevents {}\nhttp {\n%s"
                "    access_log off;\n    server {\n        listen 127.0.0.1:%d;\n"
                "        root %s;\n        location / { mp4; }\n    }\n}\n"
                % (prefix, temps, port, origin.files))
    subprocess.run(["nginx", "-p", prefix, "-c", prefix + "/nginx.conf", "-e",
                    prefix + "/logs/error.log"], check=True)
    try:
        answers = {}
        for url in origin.urls:
            if url.kind != "movie":
                continue
            whole = _duration(os.path.join(origin.files, url.file))
            for start in SEEKS:
                if (url.file, start) not in answers:
                    answers[url.file, start] = _seek(port, url.file, start, whole, work)
                url.seeks[start] = answers[url.file, start]
    finally:
        subprocess.run(["nginx", "-p", prefix, "-c", prefix + "/nginx.conf", "-e",
                        prefix + "/logs/error.log", "-s", "stop"], check=False)


def _seek(port, name, start, whole, work):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    conn.request("GET", "/%s?start=%s" % (name, start))
    answer = conn.getresponse()
    body = answer.read()
    conn.close()
    if answer.status != 200:
        raise RuntimeError("the mp4 oracle answered %d for %s?start=%s" % (answer.status, name, start))
    path = os.path.join(work, "seek.mp4")
    with open(path, "wb") as f:
        f.write(body)
    # The module starts at the key frame before start: one a second here.
    got = _duration(path)
    if not whole - start - 0.1 <= got <= whole - start + 1.1:
        raise RuntimeError("%s?start=%s lasts %.2f s of %.2f" % (name, start, got, whole))
    return body
