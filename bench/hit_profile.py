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
  no Lua, no CORS          the locations alone without the CORS headers'
                           lines: their cost with cors_origins=*
  no Lua, CORS list        the locations alone with a list of two origins,
                           each request from the first (Origin set)
  no Lua, IPv6 listen      the locations alone listening on [::1] too: the
                           client key's map, asked over 127.0.0.1
  no Lua, IPv6 client      the same asked over [::1] (when the machine has it)
  plain nginx, token's query   plain nginx asked with the signed HIT's query
  plain nginx, secure_link its secure_link module (MD5) in front of the alias
  secure_link, token's query   the same with the signed HIT's query after its own
  front end, cors off      cors_origins=off, the reference of the next
  front end, cors off, token's query   the same asked with the signed HIT's
                           query (the site is not signed)
  front end, signed        a signed site (uri_signing=all, cors_origins=off),
                           one remembered HS256 token (python3-jwt) with a
                           directory's cdniuc for every file
  front end, signed, new tokens   the same with a new token on every request

The rows with the token's query hold nginx's own work on a long query apart
from the node's.

  hit_profile.py BUILD_DIR [--only NAME]... [--functions [--against NAME]]

(tools/bench.sh runs it with build-bench.) --only runs the configurations
named (and plain nginx); --functions prints, for each, the instructions per
HIT of every function (self and inclusive, beside those of --against's
configuration, plain nginx by default) and of every object: nginx, LuaJIT
(its interpreter, strings and collector), the traces LuaJIT compiled (???),
libc.

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
# HITs of the two runs: their difference's mean is the figure. More average
# out LuaJIT's garbage collector, whose cycles end where they fall
# (HIT_PROFILE_ROUNDS=2000,12000 for steps of a hundred instructions).
ROUNDS = tuple(int(n) for n in os.environ.get("HIT_PROFILE_ROUNDS", "1000,3000").split(","))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ask(address, port, paths, count, extra=""):
    """count keep-alive GETs to address (a new connection every 500, under
    nginx's keepalive_requests), with the header lines extra; each must be a
    200 read whole."""
    conn = None
    for i in range(count):
        if i % 500 == 0:
            if conn:
                conn.close()
            conn = socket.create_connection((address, port))
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


def instructions(work, conf, address, port, paths, count, extra, out=None):
    """The instructions nginx executed in ngx_http_process_request for count
    HITs to address with the header lines extra (callgrind's file: out)."""
    out = out or os.path.join(work, "callgrind.out")
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
    ask(address, port, paths, count, extra)
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


def per_hit(work, conf, address, port, paths, extra="", functions=False):
    """Instructions per HIT; with functions, also {function: (self,
    inclusive)} per HIT, the two rounds' difference as callgrind_annotate
    counts it."""
    outs = [os.path.join(work, "callgrind.%d.out" % n) for n in ROUNDS]
    low, high = (instructions(work, conf, address, port, paths, n, extra, out)
                 for n, out in zip(ROUNDS, outs))
    count = ROUNDS[1] - ROUNDS[0]
    if not functions:
        return (high - low) / count
    costs = [by_function(out) for out in outs]
    names = set(costs[0]) | set(costs[1])
    zero = (0, 0)
    return (high - low) / count, {
        name: tuple((costs[1].get(name, zero)[i] - costs[0].get(name, zero)[i]) / count for i in (0, 1))
        for name in names}


LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(?:\*\s+)?(\S.*)$")


def by_function(out):
    """{function [object]: (self, inclusive)} of a callgrind file; code
    LuaJIT made (no symbol) counts as one function of its object."""
    costs = {}
    for i, inclusive in enumerate(("no", "yes")):
        text = subprocess.run(["callgrind_annotate", "--threshold=100", "--inclusive=" + inclusive, out],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True).stdout
        body = text.split("file:function", 1)[-1]
        for line in body.splitlines():
            m = LINE.match(line)
            if not m or "PROGRAM TOTALS" in line:
                continue
            name = m.group(2).split(":", 1)[-1] if ":" in m.group(2).split(" [")[0] else m.group(2)
            pair = list(costs.get(name, (0, 0)))
            pair[i] += int(m.group(1).replace(",", ""))
            costs[name] = tuple(pair)
    return costs


def show_functions(name, costs, reference=None, most=40):
    """The functions of costs with the most self instructions per HIT (and
    against reference's, when given)."""
    print("  %s: per HIT, self and inclusive%s" % (name, ", beside the reference's self" if reference else ""))
    objects = {}
    for fn, (own, _) in costs.items():
        obj = fn.rsplit(" [", 1)[-1].rstrip("]").rsplit("/", 1)[-1] if " [" in fn else "?"
        objects[obj] = objects.get(obj, 0) + own
    print("    by object: " + ", ".join("%s %.0f" % kv for kv in sorted(objects.items(), key=lambda kv: -kv[1])
                                        if abs(kv[1]) >= 20))
    for fn, (own, incl) in sorted(costs.items(), key=lambda kv: -abs(kv[1][0] - (reference or {}).get(
            kv[0], (0, 0))[0]))[:most]:
        ref = (reference or {}).get(fn, (0, 0))[0]
        print("    %8.0f %8.0f %s%s" % (own, incl, ("%+8.0f " % (own - ref)) if reference else "", fn))


def main():
    args = sys.argv[1:]
    only, functions, against = [], "--functions" in args, "plain nginx"
    if "--against" in args:
        i = args.index("--against")
        against = args[i + 1]
        del args[i:i + 2]
    while "--only" in args:
        i = args.index("--only")
        only.append(args[i + 1])
        del args[i:i + 2]
    args = [a for a in args if a != "--functions"]
    build = os.path.abspath(args[0] if args else "build")
    if not shutil.which("valgrind") or not os.path.exists("/usr/lib/nginx/modules/ngx_http_lua_module.so"):
        print("SKIP: valgrind or nginx's Lua module is not installed")
        sys.exit(77)
    with tempfile.TemporaryDirectory(prefix="hit-profile.") as work:
        profile(build, work, only, functions, against)


def profile(build, work, only=(), functions=False, against="plain nginx"):
    """Prints the table, for the nginx of each configuration in work (of
    only's, with plain nginx's, when given); with functions, where each
    one's instructions go, function by function, beside against's."""
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

    def no_lua(body):
        """body with $cachenode_file the constant file, without the Lua entry."""
        bare = re.sub(r"set \$cachenode_url[^;]*;\s*set_by_lua_block \$cachenode_file \{[^}]*\}",
                      "set $cachenode_file %s;" % one, body)
        assert bare != body
        return bare

    bare = no_lua(text)
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
    no_cors = re.sub(r"\n *add_header (Access-Control-[A-Za-z-]+|Vary) [^;]*;", "", bare)
    assert no_cors != bare
    origin = "Origin: https://www.site.example\r\n"
    listed = no_lua(render(front, ["cors_origins=https://www.site.example|https://app.site.example"]))
    ipv6 = no_lua(render(front, ["listen=127.0.0.1:%d|[::1]:%d" % (port, port)]))
    # (name, configuration, the address asked, header lines, paths)
    rows = [("plain nginx", plain, "127.0.0.1", "", plain_paths)]
    rows += [(name, body, "127.0.0.1", extra, front_paths) for name, body, extra in (
        ("front end", text, ""), ("front end, map() const", const, ""), ("front end, no Lua", bare, ""),
        ("front end, Origin", text, origin), ("no Lua, no CORS", no_cors, ""),
        ("no Lua, CORS list", listed, origin), ("no Lua, IPv6 listen", ipv6, ""))]
    if has_ipv6_loopback():
        rows.append(("no Lua, IPv6 client", ipv6, "::1", "", front_paths))
    rows += [(name, body, "127.0.0.1", "", paths) for name, body, paths in
             signed_confs(work, front, plain, front_paths, plain_paths)]

    if only:
        rows = [r for r in rows if r[0] in ("plain nginx", against) or r[0] in only]

    print("Instructions per HIT (ngx_http_process_request under callgrind), 20 kB files over %d "
          "directories, one process" % DIRS)
    figures, costs = {}, {}
    for name, body, address, extra, paths in rows:
        path = os.path.join(work, "%d.conf" % len(figures))
        with open(path, "w") as f:
            f.write(body)
        got = per_hit(work, path, address, port, paths, extra, functions)
        figures[name], costs[name] = got if functions else (got, None)
        print("  %-36s %8.0f  %+8.0f" % (name, figures[name], figures[name] - figures["plain nginx"]))
    if functions:
        for name, _, _, _, _ in rows:
            show_functions(name, costs[name], None if name == against else costs[against])

    def say(text, *names):
        if all(n in figures for n in names):
            print(text % tuple(figures[a] - figures[b] for a, b in zip(names[::2], names[1::2])))
    say("  of the front end's: map()'s work %.0f, the set_by_lua entry and $cachenode_url %.0f, the locations %.0f",
        "front end", "front end, map() const", "front end, map() const", "front end, no Lua",
        "front end, no Lua", "plain nginx")
    say("  the CORS headers: %.0f with cors_origins=*, %.0f with a list; a page's Origin %+.0f",
        "front end, no Lua", "no Lua, no CORS", "no Lua, CORS list", "no Lua, no CORS",
        "front end, Origin", "front end")
    say("  the client key's map where an IPv6 client may arrive: %+.0f an IPv4 client's HIT",
        "no Lua, IPv6 listen", "front end, no Lua")
    say("  an IPv6 client's HIT %+.0f beside an IPv4 one's", "no Lua, IPv6 client", "no Lua, IPv6 listen")
    say("  the token's query: plain nginx %+.0f, secure_link %+.0f, the unsigned front end %+.0f",
        "plain nginx, token's query", "plain nginx", "secure_link, token's query", "plain nginx, secure_link",
        "front end, cors off, token's query", "front end, cors off")
    say("  beyond plain nginx with the same query: secure_link %.0f, the unsigned front end %.0f, "
        "the signed one %.0f (a new token each request %.0f)",
        "secure_link, token's query", "plain nginx, token's query",
        "front end, cors off, token's query", "plain nginx, token's query",
        "front end, signed", "plain nginx, token's query",
        "front end, signed, new tokens", "plain nginx, token's query")
    say("  a signed HIT with a remembered token %+.0f beyond the unsigned HIT; the unsigned one asked with the "
        "token's query %+.0f (nginx's mp4 module reads a query byte by byte; the node cuts the token out of a "
        "signed one's)", "front end, signed", "front end, cors off",
        "front end, cors off, token's query", "front end, cors off")


def render(front, knobs):
    """The front end's configuration with front's knobs and then knobs."""
    out = front + ".more"
    subprocess.run([os.path.join(FRONTEND, "cachenode-conf"), "-f", front + ".knobs", "-o", out] + knobs,
                   check=True)
    with open(out) as f:
        return f.read()


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def signed_confs(work, front, plain, front_paths, plain_paths):
    """(name, configuration, paths) of secure_link's plain nginx, the front
    end with cors_origins=off and the front end of a signed site, each also
    asked with the signed HIT's query (the token), and the signed site with
    a new token every request; none when python3-jwt cannot mint tokens."""
    keys = os.path.join(work, "keys.jwks")
    done = subprocess.run(["/usr/bin/python3", "-c", """
import json, os, sys, time, jwt
from jwt.algorithms import HMACAlgorithm
secret = os.urandom(32)
json.dump({"keys": [dict(json.loads(HMACAlgorithm.to_jwk(secret)), kid="bench")]}, open(sys.argv[1], "w"))
for i in range(%d):
    print(jwt.encode({"exp": int(time.time()) + 3600 + i, "cdniuc": r"regex:http://%s/vod/20k/.*"},
                     secret, algorithm="HS256", headers={"kid": "bench"}))
""" % (ROUNDS[1] + 1, HOST.replace(".", "\\.")), keys], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
        text=True)
    if done.returncode:
        print("  (python3-jwt is not installed: no signed HIT)")
        return []
    tokens = done.stdout.split()
    token, fresh = tokens[0], tokens[1:]
    query = "URISigningPackage=" + token
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
    bodies = [render(front, knobs) for knobs in
              (["cors_origins=off"], ["cors_origins=off", "uri_signing=all", "uri_signing_keys=" + keys])]
    return [("plain nginx, token's query", plain, ["%s?%s" % (p, query) for p in plain_paths]),
            ("plain nginx, secure_link", secure, secure_paths),
            ("secure_link, token's query", secure, ["%s&%s" % (p, query) for p in secure_paths]),
            ("front end, cors off", bodies[0], front_paths),
            ("front end, cors off, token's query", bodies[0], ["%s?%s" % (p, query) for p in front_paths]),
            ("front end, signed", bodies[1], ["%s?%s" % (p, query) for p in front_paths]),
            ("front end, signed, new tokens", bodies[1],
             ["%s?URISigningPackage=%s" % (front_paths[i % len(front_paths)], t) for i, t in enumerate(fresh)])]


if __name__ == "__main__":
    main()
