#!/usr/bin/env python3
"""bench_hit_profile: where a HIT's time goes, in instructions. nginx runs one
process (master_process off) under valgrind's callgrind, which counts the
instructions it executes in user space whatever else the machine does; each
configuration serves 1,000 and then 3,000 keep-alive HITs of 20 kB files over
12 cache directories, and the difference over 2,000 is its cost per HIT.
Only ngx_http_process_request is counted (from a parsed header to the answer
sent and the request freed, limit_conn's cleanup included): nginx's timers,
the front end's Lua ones among them, fire more often the slower valgrind
runs, and counted they moved the figures by hundreds. Reading and parsing
the request, the same for all, and the kernel's share (sendfile, epoll) are
not in the figures either. map()'s own work still moves by a few hundred
between runs, as LuaJIT's traces form at different moments.

  plain nginx              an alias of the cache directories, the reference
  front end                the template as shipped (memo on)
  front end, map() const   the same Lua entry, map() answering one file
  front end, no Lua        $cachenode_file a constant: the locations alone
  front end, Origin        as shipped, each request from a page (Origin set)
  front end, no CORS       without the CORS headers' lines: their cost
  plain nginx, secure_link its secure_link module (MD5) in front of the alias
  front end, cors off      cors_origins=off, the reference of the next
  front end, signed        a signed site (uri_signing=all, cors_origins=off),
                           one remembered HS256 token (python3-jwt) with a
                           directory's cdniuc for every file

  hit_profile.py BUILD_DIR      (tools/bench.sh runs it with build-bench)

Runs in a temporary directory on loopback ports, no root needed; exit 77
when valgrind or nginx's Lua module is missing."""

import base64
import hashlib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
FRONTEND = os.path.join(os.path.dirname(HERE), "frontend")
HOST = "bench.example"
DIRS, FILES, SIZE = 12, 100, 20000
ROUNDS = (1000, 3000)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ask(port, paths, count, extra=""):
    """count keep-alive GETs (a new connection every 500, under nginx's
    keepalive_requests), with the header lines extra; each must be a 200
    read whole."""
    conn = None
    for i in range(count):
        if i % 500 == 0:
            if conn:
                conn.close()
            conn = socket.create_connection(("127.0.0.1", port))
        conn.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (paths[i % len(paths)], HOST, extra)).encode())
        data = b""
        while b"\r\n\r\n" not in data:
            piece = conn.recv(65536)
            if not piece:
                sys.exit("hit_profile: the connection closed")
            data += piece
        head, body = data.split(b"\r\n\r\n", 1)
        if not head.startswith(b"HTTP/1.1 200"):
            sys.exit("hit_profile: %s answered %r" % (paths[i % len(paths)], head.split(b"\r\n")[0]))
        length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
        while len(body) < length:
            body += conn.recv(65536)
    conn.close()


def instructions(work, conf, port, paths, count, extra):
    """The instructions nginx executed in ngx_http_process_request for count
    HITs with the header lines extra."""
    out = os.path.join(work, "callgrind.out")
    nginx = subprocess.Popen(
        ["valgrind", "--tool=callgrind", "--toggle-collect=ngx_http_process_request",
         "--callgrind-out-file=" + out, "--smc-check=all-non-file",
         "nginx", "-p", work, "-c", conf, "-e", os.path.join(work, "logs", "error.log"),
         "-g", "daemon off; master_process off;"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(600):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            break
        except OSError:
            time.sleep(0.1)
    ask(port, paths, count, extra)
    # Under valgrind a signal may wait for nginx's next event: ask again, and
    # knock, until it has gone.
    while True:
        nginx.terminate()
        try:
            nginx.wait(timeout=2)
            break
        except subprocess.TimeoutExpired:
            try:
                socket.create_connection(("127.0.0.1", port)).close()
            except OSError:
                pass
    with open(out) as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
    sys.exit("hit_profile: no totals in " + out)


def per_hit(work, conf, port, paths, extra=""):
    low, high = (instructions(work, conf, port, paths, n, extra) for n in ROUNDS)
    return (high - low) / (ROUNDS[1] - ROUNDS[0])


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
    if not shutil.which("valgrind") or not os.path.exists("/usr/lib/nginx/modules/ngx_http_lua_module.so"):
        print("SKIP: valgrind or nginx's Lua module is not installed")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="hit-profile.") as work:
        profile(build, work)


def profile(build, work):
    """Prints the table, for the nginx of each configuration in work."""
    for sub in ("logs", "run", "spool"):
        os.makedirs(os.path.join(work, sub))
    dirs = [os.path.join(work, "cache", "d%d" % i) for i in range(1, DIRS + 1)]
    for d in dirs:
        os.makedirs(d)
    cli, lib = os.path.join(build, "cachekit", "cli", "cachekit"), os.path.join(build, "cachekit",
                                                                                 "libcachekit.so.1")
    front_paths, plain_paths = [], []
    for i in range(1, FILES + 1):
        target = "/vod/20k/f%d.mp4" % i
        path = subprocess.run([cli, "--lib", lib, "uri", "http://" + HOST + target, "|".join(dirs)],
                              stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(os.urandom(SIZE))
        front_paths.append(target)
        plain_paths.append("/plain/" + os.path.relpath(path, os.path.join(work, "cache")))

    port = free_port()
    front = os.path.join(work, "front.conf")
    knobs = ["listen=127.0.0.1:%d" % port, "hosts=" + HOST, "cache_dirs=" + "|".join(dirs),
             "spool_dir=" + os.path.join(work, "spool"), "cachekit_lib=" + lib,
             "fetchwrap=/bin/false", "cachekit_cli=" + cli, "frontend_dir=" + FRONTEND,
             "worker_processes=1", "access_log=off", "guard_interval=0", "user=root"]
    with open(front + ".knobs", "w") as f:
        f.write("\n".join(knobs) + "\n")
    subprocess.run([os.path.join(FRONTEND, "cachenode-conf"), "-o", front] + knobs, check=True)
    text = open(front).read()
    one = os.path.join(dirs[0], "one.mp4")
    with open(one, "wb") as f:
        f.write(os.urandom(SIZE))
    const = text.replace("return package.loaded.cachenode.map()", 'return "%s"' % one)
    assert const != text
    bare = re.sub(r"set \$cachenode_url[^;]*;\s*set_by_lua_block \$cachenode_file \{[^}]*\}",
                  "set $cachenode_file %s;" % one, text)
    assert bare != text
    plain = """worker_processes 1;
pid run/plain.pid;
events { worker_connections 1024; }
http {
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    server {
        listen 127.0.0.1:%d;
        location /plain/ { alias %s/cache/; }
    }
}
""" % (port, work)
    # The same headers but for the CORS ones' lines.
    no_cors = re.sub(r"\n *add_header (Access-Control-[A-Za-z-]+|Vary) [^;]*;", "", text)
    assert no_cors != text
    signed = signed_confs(work, front, plain, front_paths, plain_paths)
    confs = []
    for name, body in (("plain nginx", plain), ("front end", text), ("front end, map() const", const),
                       ("front end, no Lua", bare), ("front end, Origin", text),
                       ("front end, no CORS", no_cors)) + tuple((n, b) for n, b, _ in signed):
        path = os.path.join(work, "%d.conf" % len(confs))
        with open(path, "w") as f:
            f.write(body)
        confs.append((name, path))

    print("Instructions per HIT (ngx_http_process_request under callgrind), 20 kB files over %d "
          "directories, one process" % DIRS)
    figures = {}
    paths_of = {n: p for n, _, p in signed}
    for name, path in confs:
        paths = paths_of.get(name, plain_paths if name == "plain nginx" else front_paths)
        figures[name] = per_hit(work, path, port, paths,
                                "Origin: https://www.site.example\r\n" if name.endswith("Origin") else "")
        print("  %-26s %8.0f  %+8.0f" % (name, figures[name], figures[name] - figures["plain nginx"]))
    print("  of the front end's: map()'s work %.0f, the set_by_lua entry and $cachenode_url %.0f, "
          "the locations %.0f" % (figures["front end"] - figures["front end, map() const"],
                                  figures["front end, map() const"] - figures["front end, no Lua"],
                                  figures["front end, no Lua"] - figures["plain nginx"]))
    print("  the CORS headers (cors_origins *) %.0f; a page's Origin %+.0f" % (
        figures["front end"] - figures["front end, no CORS"],
        figures["front end, Origin"] - figures["front end"]))
    if signed:
        print("  secure_link %.0f beyond plain nginx; a signed site's remembered token %.0f beyond the "
              "front end's unsigned HIT" % (figures["plain nginx, secure_link"] - figures["plain nginx"],
                                            figures["front end, signed"] - figures["front end, cors off"]))


def signed_confs(work, front, plain, front_paths, plain_paths):
    """(name, configuration, paths) of secure_link's plain nginx, the front
    end with cors_origins=off and the front end of a signed site; none when
    python3-jwt cannot mint its token."""
    keys = os.path.join(work, "keys.jwks")
    done = subprocess.run(["/usr/bin/python3", "-c", """
import json, os, sys, time, jwt
from jwt.algorithms import HMACAlgorithm
secret = os.urandom(32)
json.dump({"keys": [dict(json.loads(HMACAlgorithm.to_jwk(secret)), kid="bench")]}, open(sys.argv[1], "w"))
print(jwt.encode({"exp": int(time.time()) + 3600, "cdniuc": r"regex:http://%s/vod/20k/.*"},
                 secret, algorithm="HS256", headers={"kid": "bench"}))
""" % HOST.replace(".", "\\."), keys], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if done.returncode:
        print("  (python3-jwt is not installed: no signed HIT)")
        return []
    token = done.stdout.strip()
    expires = int(time.time()) + 3600
    secure_paths = []
    for p in plain_paths:
        md5 = hashlib.md5(("%d%s bench-secret" % (expires, p)).encode()).digest()
        secure_paths.append("%s?md5=%s&expires=%d" % (p, base64.urlsafe_b64encode(md5).rstrip(b"=").decode(),
                                                       expires))
    secure = plain.replace("location /plain/ {", """location /plain/ {
            secure_link $arg_md5,$arg_expires;
            secure_link_md5 "$secure_link_expires$uri bench-secret";
            if ($secure_link = "") { return 403; }
            if ($secure_link = "0") { return 410; }""")
    assert secure != plain
    bodies = []
    for knobs in (["cors_origins=off"], ["cors_origins=off", "uri_signing=all", "uri_signing_keys=" + keys]):
        out = front + ".signed"
        subprocess.run([os.path.join(FRONTEND, "cachenode-conf"), "-f", front + ".knobs", "-o", out] + knobs,
                       check=True)
        bodies.append(open(out).read())
    return [("plain nginx, secure_link", secure, secure_paths),
            ("front end, cors off", bodies[0], front_paths),
            ("front end, signed", bodies[1], ["%s?URISigningPackage=%s" % (p, token) for p in front_paths])]


if __name__ == "__main__":
    main()
