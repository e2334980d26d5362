#!/usr/bin/env python3
"""The front end over HTTPS and HTTP/2, with real nginx, real TLS and
certificates made by openssl when the sandbox starts (testbed --tls: a CA and
one certificate per site, node7 and other.example, chosen by SNI).

    tls_test.py GROUP FETCHWRAP LIBRARY CACHEKIT_CLI     (from CTest)

tls: what a viewer gets over HTTP/1.1 and HTTP/2 (HIT, streamed MISS, a cut,
a closed range and HEAD during a download, PURGE, metrics, a ?start= seek
read by ffprobe), the same cache file over both schemes, the protocols and
suites offered, session resumption and the ticket keys of a reload, and the
access log. tls_service: a second front end with http2 off, http_redirect,
acme_webroot and the JSON log; certificates that are missing or do not match
their key, at a start and at a reload."""

import json
import os
import re
import shutil
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import nodetest as nt  # noqa: E402

# name, curl arguments, the version curl reports, curl's exit statuses for an
# answer that did not end cleanly (18: short of the chunked end or the length;
# 92: an HTTP/2 stream reset).
PROTOCOLS = (("h1", ["--http1.1"], "1.1", (18,)), ("h2", ["--http2"], "2", (92,)))


def s_client(port, *args, name=nt.HOST):
    """openssl s_client's summary line for one handshake with 127.0.0.1:port:
    "New, TLSv1.3, Cipher is ..." (or "Reused, ..."; "(NONE)" when refused).
    It asks for the metrics over HTTP/1.0 and reads until the server closes,
    so that a TLS 1.3 ticket, sent after the handshake, has arrived."""
    done = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%s" % port, "-servername", name,
                           "-CAfile", nt.env("CN_CA"), "-ign_eof"] + list(args),
                          input="HEAD /cachenode/metrics HTTP/1.0\r\nHost: %s\r\n\r\n" % name,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    found = re.search(r"^(New|Reused), .*$", done.stdout, re.M)
    return found.group(0) if found else ""


def text(path):
    return (nt.file_bytes(path) or b"").decode(errors="replace")


def workers(master):
    """The pids of the master's children."""
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        stat = text("/proc/%s/stat" % pid)
        if stat and int(stat[stat.rindex(")") + 2:].split()[1]) == master:
            found.add(int(pid))
    return found


def tls_port():
    return nt.front_tls().rsplit(":", 1)[1]


# Each cachenode line: time client "request" status bytes seconds result tls.
LOG_LINE = re.compile(r'^(\S+) (\S+) "(.*)" (\d{3}) (\d+) ([0-9.]+) (\S+) (\S+)$')


def access_log(prefix):
    return text(os.path.join(prefix, "logs", "access.log")).splitlines()


def serve_over(name, extra, version, cuts):
    """One protocol's answers, on files of its own."""
    data = nt.make_file("vod/%s/a.mp4" % name, 150000)
    for want in ("MISS", "HIT"):
        got = nt.get("/vod/%s/a.mp4" % name, extra=extra, tls=True)
        nt.check((got.status, got.xcache, got.headers[":version"]) == (200, want, version) and got.body == data,
                 "%s %s: %r over HTTP/%s" % (name, want, got, got.headers[":version"]))
    # The scheme is not part of the cache file: plain HTTP has it too.
    got = nt.get("/vod/%s/a.mp4" % name)
    nt.check(got.xcache == "HIT" and got.body == data, "%s: plain HTTP after HTTPS: %r" % (name, got))
    nt.check(nt.file_bytes(nt.cache_path("http://node7/vod/%s/a.mp4" % name)) == data,
             "%s: no exact copy at uri2d's path" % name)
    got = nt.get("/vod/%s/a.mp4" % name, method="HEAD", extra=extra, tls=True)
    nt.check(got.status == 200 and got.headers.get("content-length") == "150000", "%s: HEAD: %r" % (name, got))

    # A streamed miss read while it arrives (the origin's /slow/ sends the
    # first 64 kB, then 64 kB/s); a closed range and HEAD during it.
    data = nt.make_file("vod/%s/slow.mp4" % name, 300000)
    path = nt.cache_path("http://node7/slow/vod/%s/slow.mp4" % name)
    out = "/tmp/%s.slow" % name
    viewer = nt.start_viewer("/slow/vod/%s/slow.mp4" % name, out, extra=extra, tls=True)
    nt.check(nt.wait_until(lambda: os.path.getsize(out) if os.path.exists(out) else 0)
             and not os.path.exists(path), "%s: no bytes before the download ended" % name)
    got = nt.get("/slow/vod/%s/slow.mp4" % name, headers=["Range: bytes=1000-1999"], extra=extra, tls=True)
    nt.check((got.status, got.xcache, got.headers.get("content-range")) == (206, "MISS", "bytes 1000-1999/*")
             and got.body == data[1000:2000], "%s: closed range during the download: %r" % (name, got))
    got = nt.get("/slow/vod/%s/slow.mp4" % name, method="HEAD", extra=extra, tls=True)
    nt.check((got.status, got.xcache) == (200, "MISS"), "%s: HEAD during the download: %r" % (name, got))
    nt.check(not os.path.exists(path), "%s: the download ended before the range and HEAD" % name)
    said = viewer.communicate()[0]
    nt.check(said == "200 MISS" and viewer.returncode == 0 and nt.file_bytes(out) == data,
             "%s: the streamed viewer got %s, curl %d, other bytes" % (name, said, viewer.returncode))

    # A download that fails half-way never ends cleanly: the origin stalls
    # after 100 kB, which the viewer has long had when fetch_idle_timeout
    # ends the download.
    whole = nt.origin_bytes("vod/big.mp4")
    got = nt.get("/fault/stall/100000/vod/big.mp4?%s" % name, extra=extra, tls=True)
    nt.check(got.rc in cuts and 0 < len(got.body) <= 100000 and whole.startswith(got.body),
             "%s: a cut download: %r, not a cut (curl %s)" % (name, got, cuts))

    for want in (200, 404):
        got = nt.get("/vod/%s/a.mp4" % name, method="PURGE", extra=extra, tls=True)
        nt.check(got.status == want, "%s: PURGE: %r, not %d" % (name, got, want))
    got = nt.get("/cachenode/metrics", extra=extra, tls=True)
    nt.check(got.status == 200 and b"cachenode_requests_total{" in got.body, "%s: metrics: %r" % (name, got))


def ffprobe_duration(target):
    """The duration ffprobe reads from target over HTTPS, checking the
    certificate for node7."""
    done = subprocess.run(["ffprobe", "-v", "error", "-tls_verify", "1", "-ca_file", nt.env("CN_CA"),
                           "-verifyhost", nt.HOST, "-headers", "Host: %s\r\n" % nt.HOST,
                           "-show_entries", "format=duration", "-of", "csv=p=0",
                           "https://%s%s" % (nt.front_tls(), target)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return done.stdout.strip().split(".")[0] or done.stderr.strip()[-200:]


def group_tls():
    nt.make_file("vod/big.mp4", 1000000)
    for name, extra, version, cuts in PROTOCOLS:
        serve_over(name, extra, version, cuts)
    # Both sites, each with its certificate (curl checks the name).
    for host in ("node7", "other.example"):
        got = nt.get("/vod/movie01.mp4", host=host, tls=True)
        nt.check(got.status == 200, "%s over HTTPS: %r" % (host, got))
    # Plain HTTP is HTTP/1.x only: HTTP/2 without the upgrade is refused.
    got = nt.get("/vod/movie01.mp4", extra=["--http2-prior-knowledge"])
    nt.check(got.status != 200, "HTTP/2 with prior knowledge on plain HTTP answered: %r" % got)

    # A seek as a player makes it, on a miss (answered from the whole file).
    if shutil.which("ffmpeg"):
        clip = os.path.join(nt.env("CN_FILES"), "play", "clip.mp4")
        os.makedirs(os.path.dirname(clip), exist_ok=True)
        subprocess.run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
                        "testsrc=duration=6:size=320x240:rate=25", "-c:v", "libx264", "-g", "25",
                        "-pix_fmt", "yuv420p", "-movflags", "+faststart", clip], check=True)
        for target, want in (("/play/clip.mp4?start=4", "2"), ("/play/clip.mp4", "6")):
            got = ffprobe_duration(target)
            nt.check(got == want, "ffprobe over HTTPS %s: %s, not %s s" % (target, got, want))
    else:
        print("ffmpeg is not installed: no player check")

    # TLS 1.2 and 1.3 only; in 1.2 only ECDHE with an AEAD.
    port = tls_port()
    for args, offered in ((["-tls1_3"], True),
                          (["-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-GCM-SHA256"], True),
                          (["-tls1_2", "-cipher", "ECDHE-ECDSA-CHACHA20-POLY1305"], True),
                          (["-tls1_1", "-cipher", "DEFAULT:@SECLEVEL=0"], False),
                          (["-tls1_2", "-cipher", "ECDHE-ECDSA-AES128-SHA"], False),
                          (["-tls1_2", "-cipher", "ECDHE-ECDSA-AES256-SHA384"], False)):
        line = s_client(port, *args)
        nt.check(("(NONE)" not in line and line != "") == offered,
                 "%s: '%s', %s" % (" ".join(args), line, "wanted a handshake" if offered else "wanted none"))

    # Sessions resume from the shared cache (1.2 without a ticket) and from
    # a ticket, whichever worker takes the connection; a reload makes new
    # ticket keys, so an old ticket no longer resumes and a new one does.
    for version, more in (("-tls1_2", ["-no_ticket"]), ("-tls1_3", [])):
        first = s_client(port, version, "-sess_out", "/tmp/sess", *more)
        again = [s_client(port, version, "-sess_in", "/tmp/sess", *more) for _ in range(4)]
        nt.check(first.startswith("New") and all(a.startswith("Reused") for a in again),
                 "%s: sessions: %s then %s" % (version, first, again))
    s_client(port, "-tls1_3", "-sess_out", "/tmp/ticket")
    master = int(text("/node/front/master.pid"))
    old = workers(master)
    os.kill(master, 1)
    nt.check(nt.wait_until(lambda: len(workers(master) - old) == 2 and not workers(master) & old, 10, 0.05),
             "the old workers did not end after the reload")
    line = s_client(port, "-tls1_3", "-sess_in", "/tmp/ticket")
    nt.check(line.startswith("New"), "a ticket from before the reload: '%s'" % line)
    s_client(port, "-tls1_3", "-sess_out", "/tmp/ticket")
    nt.check(s_client(port, "-tls1_3", "-sess_in", "/tmp/ticket").startswith("Reused"),
             "a ticket from after the reload does not resume")

    # The access log: each answer's cache result and TLS protocol.
    nt.get("/vod/movie02.mp4", host="evil.example")
    lines = [LOG_LINE.match(line) for line in access_log(nt.env("CN_FRONT_PREFIX"))]
    nt.check(all(lines), "access log lines not in the cachenode format: %s"
             % [line for line, m in zip(access_log(nt.env("CN_FRONT_PREFIX")), lines) if not m][:3])
    seen = {(m.group(3), m.group(4), m.group(7), m.group(8)) for m in lines if m}
    for want in (("GET /vod/h2/a.mp4 HTTP/2.0", "200", "HIT", "TLSv1.3"),
                 ("GET /vod/h1/a.mp4 HTTP/1.1", "200", "MISS", "TLSv1.3"),
                 ("GET /vod/h1/a.mp4 HTTP/1.1", "200", "HIT", "-"),
                 ("GET /fault/stall/100000/vod/big.mp4?h2 HTTP/2.0", "200", "failed", "TLSv1.3"),
                 ("GET /fault/stall/100000/vod/big.mp4?h1 HTTP/1.1", "200", "failed", "TLSv1.3"),
                 ("GET /vod/movie02.mp4 HTTP/1.1", "421", "refused", "-"),
                 ("PURGE /vod/h1/a.mp4 HTTP/1.1", "404", "refused", "TLSv1.3")):
        nt.check(want in seen, "no access log line %s" % (want,))


# ------------------------------------------------------------ tls_service
def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def launch(name, port, *knobs):
    """Starts one more front end; whether it started, and what the renderer
    and nginx said (stderr, error log)."""
    done = subprocess.run([nt.env("CN_TESTBED"), "--front", name, str(port)] + list(knobs),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return done.returncode == 0, done.stderr + nt.error_log("/node/" + name)


def group_tls_service():
    certs, keys = nt.env("CN_TLS_CERT").split("|"), nt.env("CN_TLS_KEY").split("|")
    plain, secure = nt.env("CN_SPARE_PORT"), free_port()
    webroot = "/tmp/acme"
    os.makedirs(webroot + "/.well-known/acme-challenge")
    with open(webroot + "/.well-known/acme-challenge/tok-1", "w") as f:
        f.write("tok-1.key")
    with open(webroot + "/.well-known/secret.txt", "w") as f:
        f.write("not for the web")
    knobs = ["tls_listen=127.0.0.1:%d" % secure, "tls_cert=" + nt.env("CN_TLS_CERT"),
             "tls_key=" + nt.env("CN_TLS_KEY"), "http2=off", "http_redirect=on",
             "acme_webroot=" + webroot, "access_log_format=json"]
    ok, said = launch("svc", plain, *knobs)
    if not nt.check(ok, "the front end with TLS, redirect and ACME did not start: " + said[-600:]):
        return
    server, tls_server = "127.0.0.1:%s" % plain, "127.0.0.1:%d" % secure

    got = nt.get("/vod/movie01.mp4", extra=["--http2"], server=tls_server, tls=True)
    nt.check((got.status, got.headers[":version"]) == (200, "1.1"), "http2=off: %r over %s"
             % (got, got.headers[":version"]))
    # Plain HTTP goes to HTTPS, with its query, but for what must stay plain.
    got = nt.get("/vod/movie01.mp4?start=3", server=server)
    nt.check((got.status, got.headers.get("location")) == (301, "https://node7:%d/vod/movie01.mp4?start=3" % secure),
             "plain HTTP with http_redirect: %r to %s" % (got, got.headers.get("location")))
    runs = nt.client_runs()
    for target, host, status, body in (
            ("/.well-known/acme-challenge/tok-1", "node7", 200, b"tok-1.key"),
            ("/.well-known/acme-challenge/tok-1", "other.example", 200, b"tok-1.key"),
            ("/.well-known/acme-challenge/tok-1", "evil.example", 421, None),
            ("/.well-known/acme-challenge/tok-2", "node7", 404, None),
            ("/.well-known/acme-challenge/../secret.txt", "node7", 301, None),
            ("/.well-known/acme-challenge/%2e%2e/secret.txt", "node7", 301, None),
            ("/cachenode/metrics", "node7", 200, None),
            ("/cachenode/health", "node7", 200, None)):
        got = nt.get(target, host=host, server=server)
        nt.check(got.status == status and (body is None or got.body == body),
                 "plain %s for %s: %r, not %d" % (target, host, got, status))
    got = nt.get("/.well-known/secret.txt", server=tls_server, tls=True)
    nt.check(got.body != b"not for the web", "/.well-known/secret.txt was read from acme_webroot")
    got = nt.get("/.well-known/acme-challenge/tok-1", server=tls_server, tls=True)
    nt.check(got.body == b"tok-1.key", "the ACME token over HTTPS: %r" % got)
    nt.check(nt.notify("/node/cache/d1/x/y.mp4", server=server).split(" ", 1)[-1].startswith("200"),
             "the guard's notification was redirected")
    stored = subprocess.run(["find", "/node/cache", "-path", "*acme-challenge*"], stdout=subprocess.PIPE,
                            text=True).stdout
    nt.check(nt.client_runs() == runs + 1 and not stored,
             "ACME requests reached the cache (%d downloads): %s" % (nt.client_runs() - runs, stored))

    # The JSON log has the same fields.
    records = []
    for line in access_log("/node/svc"):
        try:
            records.append(json.loads(line))
        except ValueError:
            nt.fail("access log line is not JSON: " + line)
    keys_seen = {tuple(sorted(r)) for r in records}
    nt.check(keys_seen == {("bytes", "cache", "client", "request", "request_time", "status", "time", "tls")},
             "JSON log fields: %s" % keys_seen)
    nt.check({"request": "GET /vod/movie01.mp4 HTTP/1.1", "status": 200, "tls": "TLSv1.3"}.items()
             <= next((r for r in records if r.get("tls")), {}).items(), "JSON log: %s" % records[:2])

    # A key that is not the certificate's: no start, with the reason; a
    # reload with it keeps the running configuration.
    ok, said = launch("badkey", free_port(), "tls_listen=127.0.0.1:%d" % free_port(),
                      "tls_cert=" + certs[0], "tls_key=" + keys[1])
    nt.check(not ok and "key values mismatch" in said, "a mismatched key: started %s, said %s" % (ok, said[-300:]))
    ok, said = launch("nocert", free_port(), "tls_listen=127.0.0.1:%d" % free_port(),
                      "tls_cert=/node/tls/gone.pem", "tls_key=" + keys[0])
    nt.check(not ok and "cannot read the certificate /node/tls/gone.pem" in said,
             "a missing certificate: started %s, said %s" % (ok, said[-300:]))
    conf = text("/node/svc/nginx.conf")
    with open("/node/svc/nginx.conf", "w") as f:
        f.write(conf.replace("ssl_certificate_key %s;" % keys[0], "ssl_certificate_key %s;" % keys[1]))
    os.kill(int(text("/node/svc/master.pid")), 1)
    nt.check(nt.wait_until(lambda: "key values mismatch" in nt.error_log("/node/svc")),
             "the reload with a mismatched key left no reason in the error log")
    got = nt.get("/vod/movie02.mp4", server=tls_server, tls=True)
    nt.check(got.status == 200, "after a reload with a mismatched key: %r" % got)


if __name__ == "__main__":
    options = ["--tls", "--knob", "hosts=node7|other.example"]
    nt.run({"tls": (group_tls, options + ["--knob", "fetch_idle_timeout=3"]),
            "tls_service": (group_tls_service, options)}, __file__)
