#!/usr/bin/python3
"""Signed URLs in a node sandbox with HTTPS (testbed --tls), tokens minted
by Debian's python3-jwt (hence /usr/bin/python3): a table of requests with
their tokens, in the query or a cookie, and what each gets (status, the
access log's result, no download and no file for a refusal); one download
for two viewers with different tokens; one-time JWT IDs; an MP4 seek with a
token; the token kept out
of the access log, the downloads and the cache; the renewal cookie of an
HLS playback over HTTPS and its segments fetched with the cookie alone;
CORS with credentials for the players' pages; the refusals' counter
(signing). Keys rotated by reload, key files refused at a start and at a
reload, which keeps the running keys, and knobs refused (signing_keys)."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import jwt
from cryptography.hazmat.primitives.asymmetric import ec
from jwt.algorithms import ECAlgorithm, HMACAlgorithm

sys.dont_write_bytecode = True  # the checkout stays as git has it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import nodetest as nt  # noqa: E402

KEYS = "/tmp/uri-signing.jwks"
SECRET, RENEW_SECRET, NEW_SECRET = b"k1" * 16, b"rn" * 16, b"k2" * 16
EC_KEY = ec.generate_private_key(ec.SECP256R1())
PLAYER = "https://player.example"
SIGNED = ["uri_signing=node7", "uri_signing_keys=" + KEYS, "uri_signing_renew_kid=renew",
          "uri_signing_exempt=/crossdomain.xml|/", "cors_origins=" + PLAYER, "acme_webroot=/tmp/acme"]


def jwk(kid, secret=None, public=None):
    text = HMACAlgorithm.to_jwk(secret) if secret else ECAlgorithm.to_jwk(public)
    return dict(json.loads(text), kid=kid)


def write_keys(*keys, text=None):
    """The key file: the JWK Set of keys, or text as it stands."""
    with open(KEYS + ".tmp", "w") as f:
        f.write(text if text is not None else json.dumps({"keys": list(keys)}))
    os.rename(KEYS + ".tmp", KEYS)


BASE_KEYS = (jwk("k1", SECRET), jwk("es", public=EC_KEY.public_key()), jwk("renew", RENEW_SECRET))


def hs(claims, kid="k1", secret=SECRET):
    return jwt.encode(claims, secret, algorithm="HS256", headers={"kid": kid})


def es(claims):
    return jwt.encode(claims, EC_KEY, algorithm="ES256", headers={"kid": "es"})


def claims(**more):
    """A token's claims: good for ten minutes, for what more says."""
    return dict({"exp": int(time.time()) + 600}, **more)


def q(token):
    return "URISigningPackage=" + token


def access_log():
    with open("/node/front/logs/access.log") as f:
        return f.read()


def logged(target):
    """target as the access log writes it: the token's value cut, or the
    whole query when it holds the token twice."""
    if target.count("URISigningPackage=") > 1:
        return target.split("?")[0] + "?-"
    return re.sub("URISigningPackage=[^&]*", "URISigningPackage=-", target)


def log_result(target, since=0):
    """The cache result field of the access log's last line for target
    after its first since lines; nginx writes it after the answer, so it is
    waited for."""
    def last():
        for line in reversed(access_log().splitlines()[since:]):
            if ' %s HTTP/' % logged(target) in line:
                return line.split()[-2]
        return None
    return nt.wait_until(last, 5)


def reload_front(*knobs):
    """Reloads the front end with the signed knobs and these, and waits
    until its old workers are gone."""
    master = int(open("/node/front/master.pid").read())
    old = set(nt.workers())
    nt.reload_front("front", *(SIGNED + list(knobs)))
    nt.check(nt.wait_until(lambda: not set(nt.children(master)) & old and nt.children(master), 10, 0.05),
             "the old workers did not end after the reload")


# ---------------------------------------------------------------- signing
def table():
    """Requests of the signed site with their tokens: (what, target, curl
    extra, status, the access log's result), of node7 unless extra names a
    Host. A refusal starts no download and writes no file."""
    for name in ("vod/a.mp4", "vod/b.mp4", "vod/c.mp4", "crossdomain.xml", "vod/u.mp4"):
        nt.make_file(name, 3000)
    os.makedirs("/tmp/acme/.well-known/acme-challenge", exist_ok=True)
    with open("/tmp/acme/.well-known/acme-challenge/tok-1", "w") as f:
        f.write("tok-1.key")
    now = int(time.time())
    regex = "regex:https://node7/vod/a\\.mp4"
    hashed = "hash:" + jwt.utils.base64url_encode(
        hashlib.sha256(b"https://node7/vod/b.mp4?x=1").digest()).decode()
    good = hs(claims(cdniuc=regex))
    cases = [
        ("no token", "/vod/a.mp4", (), 403, "token-missing"),
        ("HS256 in the query", "/vod/a.mp4?" + q(good), (), 200, "MISS"),
        ("the same, again", "/vod/a.mp4?" + q(good), (), 200, "HIT"),
        ("HEAD without a token", "/vod/a.mp4", ("-I",), 403, "token-missing"),
        ("ES256 in a cookie", "/vod/a.mp4", ("-b", q(es(claims(cdniuc=regex)))), 200, "HIT"),
        ("expired", "/vod/c.mp4?" + q(hs(claims(exp=now - 60))), (), 403, "token-expired"),
        ("not yet valid", "/vod/c.mp4?" + q(hs(claims(nbf=now + 600))), (), 403, "token-not-yet-valid"),
        ("wrong secret", "/vod/c.mp4?" + q(hs(claims(), secret=NEW_SECRET)), (), 403, "token-bad-signature"),
        ("unknown kid", "/vod/c.mp4?" + q(hs(claims(), kid="gone")), (), 403, "token-unknown-key"),
        ("HS256 with the ES256 kid", "/vod/c.mp4?" + q(hs(claims(), kid="es")), (), 403,
         "token-unknown-key"),
        ("alg none", "/vod/c.mp4?" + q(jwt.encode(claims(), None, algorithm="none")), (), 403,
         "token-malformed"),
        ("cdniv 2", "/vod/c.mp4?" + q(hs(claims(cdniv=2))), (), 403, "token-critical-claim"),
        ("another URI", "/vod/c.mp4?" + q(good), (), 403, "token-uri-not-covered"),
        ("the hash of the URI with its query", "/vod/b.mp4?x=1&" + q(hs(claims(cdniuc=hashed))), (),
         200, "MISS"),
        ("the same hash, another query", "/vod/b.mp4?x=2&" + q(hs(claims(cdniuc=hashed))), (), 403,
         "token-uri-not-covered"),
        ("cdniip of another client", "/vod/c.mp4?" + q(hs(claims(cdniip="192.0.2.0/24"))), (), 403,
         "token-address-not-covered"),
        ("cdniip of this client", "/vod/u.mp4?" + q(hs(claims(cdniip="127.0.0.0/8"))), (), 200, "MISS"),
        ("the token twice", "/vod/c.mp4?%s&%s" % (q(good), q(good)), (), 403, "token-malformed"),
        ("a cookie that is no token", "/vod/c.mp4", ("-b", "URISigningPackage=x"), 403, "token-malformed"),
        ("an exempt path", "/crossdomain.xml", (), 200, "MISS"),
        ("the site's root, exempt", "/", (), 400, "refused"),
        ("an unsigned site", "/vod/movie01.mp4", ("-H", "Host: other.example"), 200, "MISS"),
        ("the node's own locations", "/cachenode/health", (), 200, "-"),
        ("another path below /cachenode/", "/cachenode/x.mp4", (), 403, "token-missing"),
        ("an ACME challenge", "/.well-known/acme-challenge/tok-1", (), 200, "-"),
        ("another path below /.well-known/", "/.well-known/x.mp4", (), 403, "token-missing"),
        ("an escaped slash", "/vod/a%2F..%2Fc.mp4?" + q(hs(claims(cdniuc="regex:https://node7/vod/.*"))), (),
         403, "token-uri-not-covered"),
    ]
    runs = nt.client_runs()
    with open("/tmp/stamp", "w"):
        pass
    for what, target, extra, status, result in cases:
        since = len(access_log().splitlines())
        host = extra[1][6:] if extra[:1] == ("-H",) else nt.HOST
        got = nt.get(target, host=host, extra=() if extra[:1] == ("-H",) else extra, tls=True)
        nt.check(got.status == status, "%s: %r, not %d" % (what, got, status))
        if target.startswith("/cachenode/"):
            continue  # not logged
        said = log_result(target, since)
        nt.check(said == result, "%s: the access log says %s, not %s" % (what, said, result))
    downloads = nt.client_downloads(runs)
    nt.check(sorted(t for t, _ in downloads) == ["/crossdomain.xml", "/vod/a.mp4", "/vod/b.mp4",
                                                 "/vod/movie01.mp4", "/vod/u.mp4"],
             "the downloads were %s" % downloads)
    nt.check(not any("c.mp4" in p for p in nt.written_since("/tmp/stamp", ("/tmp", "/node/front/logs"))),
             "a refused request left a file")
    nt.check(not os.path.exists(nt.cache_path("http://node7/vod/c.mp4")), "a refused URL is cached")


def two_viewers():
    """Two viewers with tokens of their own for one file, at once: one
    download, one file."""
    nt.make_file("vod/two.mp4", 400000)
    runs = nt.client_runs()
    target = "/rate/200000/vod/two.mp4"
    outs = [tempfile.mktemp() for _ in range(2)]
    viewers = [nt.start_viewer(target + "?" + q(hs(claims(sub="viewer%d" % i))), out, tls=True)
               for i, out in enumerate(outs)]
    for viewer, out in zip(viewers, outs):
        said, _ = viewer.communicate()
        nt.check(said.startswith("200") and nt.file_bytes(out) == nt.origin_bytes("vod/two.mp4"),
                 "a viewer of two.mp4 got %s" % said)
    nt.check(nt.client_runs() - runs == 1, "two tokens, %d downloads" % (nt.client_runs() - runs))
    copies = [f for f in nt.files_under("/node/cache") if f.endswith("two.mp4")]
    nt.check(len(copies) == 1, "copies of two.mp4: %s" % copies)


def one_time():
    """A token with a JWT ID serves its content once; another content once
    more."""
    nt.make_file("vod/once.mp4", 2000)
    nt.make_file("vod/twice.mp4", 2000)
    token = hs(claims(jti="j-1"))
    first = nt.get("/vod/once.mp4?" + q(token), tls=True)
    nt.wait_until(lambda: log_result("/vod/once.mp4?URISigningPackage=-"))
    since = len(access_log().splitlines())
    again = nt.get("/vod/once.mp4?" + q(token), tls=True)
    other = nt.get("/vod/twice.mp4?" + q(token), tls=True)
    nt.check((first.status, again.status, other.status) == (200, 403, 200),
             "a one-time token: %r, then %r, and another file %r" % (first, again, other))
    said = log_result("/vod/once.mp4?URISigningPackage=-", since)
    nt.check(said == "token-replayed", "the replay's result: %s" % said)


def seek():
    """An MP4 seek with the token before or after start=: nginx's mp4
    module, which reads the query the token is cut from, seeks on the MISS
    (answered from the finished file) and on the HIT alike."""
    if not shutil.which("ffmpeg"):
        print("ffmpeg is not installed: no seek with a token")
        return
    clip = os.path.join(nt.env("CN_FILES"), "vod", "seek.mp4")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=duration=6:size=320x240:rate=25", "-c:v", "libx264", "-g", "25",
                    "-pix_fmt", "yuv420p", "-movflags", "+faststart", clip], check=True)
    whole = nt.origin_bytes("vod/seek.mp4")
    token = q(hs(claims(cdniuc="regex:https://node7/vod/.*")))
    for target, cache in (("/vod/seek.mp4?%s&start=4" % token, "MISS"), ("/vod/seek.mp4?start=4&" + token, "HIT"),
                          ("/vod/seek.mp4?" + token, "HIT")):
        got = nt.get(target, tls=True)
        seeked = "start=" in target
        nt.check(got.status == 200 and got.headers.get("x-cache") == cache and b"ftyp" in got.body[:16]
                 and (len(got.body) < len(whole) if seeked else got.body == whole),
                 "%s: %r, %d of %d bytes" % (logged(target), got, len(got.body), len(whole)))


def kept_out():
    """No token in the access log, the downloads' URLs or a cache path; a
    request with it twice has its whole query cut."""
    text = access_log()
    # Every JWS in compact form begins so: the base64url of '{"'.
    nt.check("eyJ" not in text, "a token in the access log: %s"
             % [line for line in text.splitlines() if "eyJ" in line][:2])
    nt.check("/vod/c.mp4?- HTTP" in text, "the request with the token twice is not cut whole")
    nt.check("URISigning" not in nt.client_log(), "a token reached a download: %s" % nt.client_log())
    nt.check(not any("URISigning" in f for f in nt.files_under("/node/cache")), "a token in a cache path")


def hls():
    """A playlist asked with a renewing token, over HTTPS: its answer sets
    the cookie (Path of cdnistd segments, Max-Age cdniets, Secure,
    SameSite=None, HttpOnly) whose token the renewal key signs; the segments
    of the playlist's directory are then fetched with the cookie alone, each
    renewing it, and another directory gets no cookie."""
    for name in ("index.m3u8", "seg0.ts", "seg1.ts", "seg2.ts"):
        nt.make_file("hls/show/" + name, 1500)
    nt.make_file("hls/other/seg0.ts", 1500)
    jar = tempfile.mktemp()
    token = hs(claims(cdniuc="regex:https://node7/hls/show/.*", cdniets=120, cdnistt=1, cdnistd=2))
    got = nt.get("/hls/show/index.m3u8?" + q(token), tls=True, extra=("-c", jar))
    cookie = got.headers.get("set-cookie", "")
    nt.check(got.status == 200 and cookie.startswith("URISigningPackage="), "the playlist: %r, %s" % (got, cookie))
    attrs = [a.strip() for a in cookie.split(";")[1:]]
    nt.check(sorted(attrs) == ["HttpOnly", "Max-Age=120", "Path=/hls/show", "SameSite=None", "Secure"],
             "the renewal cookie's attributes: %s" % attrs)
    renewed = cookie.split(";")[0].split("=", 1)[1]
    try:
        said = jwt.decode(renewed, RENEW_SECRET, algorithms=["HS256"])
        nt.check(jwt.get_unverified_header(renewed)["kid"] == "renew" and said["exp"] - said["iat"] == 120
                 and abs(said["iat"] - time.time()) < 60 and said["cdnistd"] == 2,
                 "the renewed token: %s" % said)
    except jwt.PyJWTError as e:
        nt.fail("python3-jwt refuses the renewed token: %s" % e)
    for seg in ("seg0.ts", "seg1.ts", "seg2.ts", "seg1.ts"):
        got = nt.get("/hls/show/" + seg, tls=True, extra=("-b", jar, "-c", jar))
        nt.check(got.status == 200 and got.body == nt.origin_bytes("hls/show/" + seg)
                 and got.headers.get("set-cookie", "").startswith("URISigningPackage="),
                 "segment %s with the cookie: %r" % (seg, got))
    got = nt.get("/hls/other/seg0.ts", tls=True, extra=("-b", jar))
    nt.check(got.status == 403, "another directory with the jar: %r" % got)
    # Over plain HTTP the cookie cannot be Secure, nor so SameSite=None.
    got = nt.get("/hls/show/index.m3u8?" + q(hs(claims(cdniets=60, cdnistd=1))))
    nt.check(got.status == 200 and got.headers.get("set-cookie", "").endswith("Path=/hls; Max-Age=60; HttpOnly"),
             "over plain HTTP: %r %s" % (got, got.headers.get("set-cookie")))


def credentials():
    """A player's page of cors_origins may send its cookies to the signed
    site (Access-Control-Allow-Credentials), on a HIT, a MISS, a refusal and
    a preflight; the unsigned site does not say so, and another page is not
    named."""
    nt.make_file("vod/cors.mp4", 1000)
    token = q(hs(claims()))
    page = "Origin: " + PLAYER
    for what, target, headers, method, host, status, allowed, creds in (
            ("a MISS", "/vod/cors.mp4?" + token, (page,), None, nt.HOST, 200, PLAYER, "true"),
            ("a HIT", "/vod/cors.mp4?" + token, (page,), None, nt.HOST, 200, PLAYER, "true"),
            ("a refusal", "/vod/cors.mp4", (page,), None, nt.HOST, 403, PLAYER, "true"),
            ("a preflight", "/vod/cors.mp4", (page, "Access-Control-Request-Method: GET"), "OPTIONS",
             nt.HOST, 204, PLAYER, "true"),
            ("the unsigned site", "/vod/movie02.mp4", (page,), None, "other.example", 200, PLAYER, None),
            # Allow-Credentials without an Allow-Origin grants nothing.
            ("another page", "/vod/cors.mp4?" + token, ("Origin: https://evil.example",), None, nt.HOST,
             200, None, "true")):
        got = nt.get(target, host=host, headers=headers, method=method, tls=True)
        said = (got.status, got.headers.get("access-control-allow-origin"),
                got.headers.get("access-control-allow-credentials"))
        nt.check(said == (status, allowed, creds), "%s: %s, not %s" % (what, said, (status, allowed, creds)))


def counted():
    text = nt.metrics_text()
    for reason in ("missing", "expired", "bad-signature", "uri-not-covered", "replayed"):
        m = re.search(r'cachenode_token_refusals_total\{reason="%s"\} (\d+)' % reason, text)
        nt.check(m and int(m.group(1)) >= 1, "no refusal counted for %s" % reason)
    m = re.search(r'cachenode_requests_total\{result="hit"\} (\d+)', text)
    nt.check(m is not None, "no HIT series")


def group_signing():
    write_keys(*BASE_KEYS)
    reload_front()
    table()
    two_viewers()
    one_time()
    seek()
    kept_out()
    hls()
    credentials()
    time.sleep(1.1)  # the workers hand their counts over every second
    counted()


# ---------------------------------------------------------------- keys
def status_of(token, target="/vod/movie01.mp4"):
    return nt.get(target + "?" + q(token)).status


def group_signing_keys():
    """A new kid is added and the nodes reloaded before tokens are signed
    with it; an old one removed refuses its tokens; a bad file refuses a
    start and leaves a reload's running keys."""
    write_keys(*BASE_KEYS)
    reload_front()
    old, new = hs(claims()), hs(claims(), kid="k2", secret=NEW_SECRET)
    nt.check((status_of(old), status_of(new)) == (200, 403), "before the rotation: old, new")
    write_keys(*BASE_KEYS, jwk("k2", NEW_SECRET))
    reload_front()
    nt.check((status_of(old), status_of(new)) == (200, 200), "with both keys: old, new")
    write_keys(jwk("k2", NEW_SECRET), jwk("renew", RENEW_SECRET))
    reload_front()
    nt.check((status_of(old), status_of(new)) == (403, 200), "the old key gone: old, new")

    for text, why in (("{\"keys\": [{\"kty\": \"oct\", \"kid\": \"x\", \"k\": \"c2hvcnQ\"}]}",
                       "32 bytes or more"),
                      ("not json", "is not a JWK Set"),
                      (None, "cannot be read")):
        if text is None:
            os.remove(KEYS)
        else:
            write_keys(text=text)
        before = nt.error_log()
        nt.reload_front("front", *SIGNED)
        nt.check(nt.wait_until(lambda: why in nt.error_log()[len(before):], 10, 0.05),
                 "a reload with a bad key file (%s) left no reason in the error log" % why)
        nt.check(status_of(new) == 200 and status_of(old) == 403,
                 "after a reload with a bad key file (%s), the running keys changed" % why)
        name = "badkeys%d" % len(before)
        if nt.start_front(name, nt.env("CN_SPARE_PORT"), *SIGNED):
            nt.fail("a front end started with a bad key file (%s)" % why)
            nt.stop_front(name)
        nt.check(why in nt.error_log("/node/" + name), "a start with a bad key file does not say '%s'" % why)
    # The knobs that name what is not there.
    write_keys(*BASE_KEYS)
    for knob, why in (("uri_signing=elsewhere.example", "not one of hosts"),
                      ("cors_origins=*", "a player's cookie goes only to an answer that names its page"),
                      ("uri_signing_renew_kid=es", "is not an oct (HS256) key")):
        name = "badknob" + knob.split("=")[0][-4:]
        if nt.start_front(name, nt.env("CN_SPARE_PORT"), *(SIGNED + [knob])):
            nt.fail("a front end started with %s" % knob)
            nt.stop_front(name)
        nt.check(why in nt.error_log("/node/" + name), "%s: the error log does not say '%s'" % (knob, why))


if __name__ == "__main__":
    options = ["--tls", "--knob", "hosts=node7|other.example"]
    nt.run({"signing": (group_signing, options),
            "signing_keys": (group_signing_keys, ["--knob", "hosts=node7|other.example"])}, __file__)
