#!/usr/bin/python3
"""Web players playing through the node in Debian's headless Chromium, driven
over the DevTools protocol (drive.js): hls.js, dash.js and Shaka Player, at
the versions package-lock.json pins, installed into the build tree. The
player page (page/) on the site's own name (www.site.example, a
certificate of its own from the sandbox's CA) plays an HLS VOD (a master
playlist of two renditions) and a DASH VOD, made with ffmpeg when the group
starts, from the node's HTTPS name (cdn.site.example): 3 s played, a seek,
2 s more, no player error; first as MISSes, then as HITs. It plays them
from the node's own name too, and from a front end with cors_origins=off the
browser's CORS check must refuse them. A front end that signs the node's
site plays the cases with a token: the master playlist's URL carries one
minted by python3-jwt, which the node renews as a cookie for the stream's
directory, and the player sends that cookie alone (credentials) for the
media playlists and segments; without credentials they are 403. (Debian's
python3-jwt, hence /usr/bin/python3.)

    players_test.py GROUP FETCHWRAP LIBRARY CACHEKIT_CLI MODULES   (from CTest)

MODULES is the build tree's node_modules. A line per play gives the player,
the stream, the page's site, the round, the time to the first frame and the
seek's time. Skips (77) where Chromium, node, certutil or the players are
missing, unless CI is set: CI's set-up installs them all."""

import json
import os
import pwd
import shutil
import subprocess
import sys
import time
import urllib.parse

import jwt
from jwt.algorithms import HMACAlgorithm

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import nodetest as nt  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
NODE_SITE = "cdn.site.example"
PAGE_SITE = "www.site.example"
# Debian's binary itself: /usr/bin/chromium is a launcher that adds
# extensions and API keys from /etc/chromium.d.
CHROMIUM = "/usr/lib/chromium/chromium"
# The players' scripts the page loads, from the build tree's node_modules.
SCRIPTS = ("hls.js/dist/hls.min.js", "dashjs/dist/modern/umd/dash.all.min.js",
           "shaka-player/dist/shaka-player.compiled.js")
# The seek goes past what the players hold 3 s into the clip, so that it
# fetches (check_play makes sure).
CLIP_SECONDS, SEEK_TO = 60, 45
# The most a play takes: page/player.js gives up on its steps after 32 s.
PLAY_SECONDS = 40
# The signed site's key file (an HS256 key, which also signs the renewals)
# and its secret.
KEYS, KID, SECRET = "/tmp/players/keys.jwks", "k1", os.urandom(32)
# Each site: where the page comes from (PAGE_SITE, or the node's own name),
# the knobs of the front end its streams come from (none: the sandbox's own;
# else one more front end that has them, {page} the page's origin), the
# rounds it plays (REFUSED: the browser must not let it play; FORBIDDEN: the
# node must not, as the player sends no cookie) and whether the front end
# signs the node's site, and so plays the cases with a token (the others
# those without).
SITES = (
    ("own", NODE_SITE, (), ("MISS",), False),
    ("cross", PAGE_SITE, (), ("MISS", "HIT"), False),
    ("off", PAGE_SITE, ("cors_origins=off",), ("REFUSED",), False),
    ("signed", PAGE_SITE, ("uri_signing=" + NODE_SITE, "uri_signing_keys=" + KEYS, "uri_signing_renew_kid=" + KID,
                           "cors_origins={page}"), ("MISS", "HIT", "FORBIDDEN"), True),
)

# A case is a row: the player, the stream, its manifest below the case's
# directory of the origin, the options the page gives the player
# (credentials: requests carry the node's cookies; config: the player's own),
# the cookies the browser holds for the node's name before the page loads,
# and the claims of the token the manifest's URL carries (None: no token),
# to which plan() adds the expiry, the stream's directory (cdniuc) and its
# depth (cdnistd, the renewal cookie's Path). hls.js would buffer all of a
# clip this small (its buffer ends at 60 MB or 600 s by default): 20 s
# ahead, as the others keep, so that its seek fetches as theirs do.
HLS_JS = {"maxMaxBufferLength": 20}
CASES = (
    ("hls.js", "HLS", "hls/master.m3u8", {"config": HLS_JS}, [], None),
    ("dash.js", "DASH", "dash/manifest.mpd", {}, [], None),
    ("Shaka", "HLS", "hls/master.m3u8", {}, [], None),
    ("Shaka", "DASH", "dash/manifest.mpd", {}, [], None),
    # A token the node renews as a cookie (cdnistt 1), each time for 30 s.
    ("hls.js", "HLS", "hls/master.m3u8", {"config": HLS_JS, "credentials": True}, [],
     {"cdniets": 30, "cdnistt": 1}),
)


def missing():
    """Why the players cannot run here, or None."""
    for path, why in ((CHROMIUM, "Chromium is not installed (chromium)"),
                      (shutil.which("node"), "node is not installed (nodejs)"),
                      (shutil.which("certutil"), "certutil is not installed (libnss3-tools)"),
                      (shutil.which("ffmpeg"), "ffmpeg is not installed")):
        if not path or not os.path.exists(path):
            return why
    modules = os.environ.get("CN_PLAYERS_MODULES", "")
    for script in SCRIPTS + ("playwright-core/package.json",):
        if not os.path.exists(os.path.join(modules, script)):
            return "the players are not installed in the build tree (%s: no %s; npm ci)" % (modules, script)
    return None


def run(args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


def make_streams(top):
    """A 60 s clip (test pattern and a tone) at 360p and 180p, packaged as
    HLS (master playlist, 2 s MPEG-TS segments) and DASH (segment template,
    2 s fMP4 segments) in top/hls and top/dash."""
    clip = os.path.join(top, "clip.mp4")
    os.makedirs(os.path.join(top, "dash"))
    run(["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i",
         "testsrc=duration=%d:size=640x360:rate=25" % CLIP_SECONDS, "-f", "lavfi", "-i",
         "sine=frequency=440:duration=%d" % CLIP_SECONDS,
         "-filter_complex", "[0:v]split=2[hi][v];[v]scale=320:180[lo]",
         "-map", "[hi]", "-map", "[lo]", "-map", "1:a",
         "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p", "-profile:v", "main",
         # A keyframe every 2 s, so that every segment of each rendition
         # starts with one at the same time.
         "-g", "50", "-keyint_min", "50", "-sc_threshold", "0",
         "-b:v:0", "400k", "-b:v:1", "100k", "-c:a", "aac", "-b:a", "48k", clip])
    run(["ffmpeg", "-loglevel", "error", "-i", clip, "-map", "0:v:0", "-map", "0:v:1", "-map", "0:a",
         "-map", "0:a", "-c", "copy", "-f", "hls", "-hls_time", "2", "-hls_playlist_type", "vod",
         "-hls_segment_filename", os.path.join(top, "hls", "v%v", "seg%03d.ts"),
         "-master_pl_name", "master.m3u8", "-var_stream_map", "v:0,a:0 v:1,a:1",
         os.path.join(top, "hls", "v%v", "index.m3u8")])
    run(["ffmpeg", "-loglevel", "error", "-i", clip, "-map", "0", "-c", "copy", "-f", "dash",
         "-seg_duration", "2", "-use_template", "1", "-use_timeline", "0",
         "-adaptation_sets", "id=0,streams=v id=1,streams=a", "manifest.mpd"], cwd=os.path.join(top, "dash"))


def place_page(top, modules):
    """The page and the players' scripts at top/page."""
    os.makedirs(os.path.join(top, "page", "lib"))
    for name in ("player.html", "player.js"):
        shutil.copy(os.path.join(HERE, "page", name), os.path.join(top, "page"))
    for script in SCRIPTS:
        shutil.copy(os.path.join(modules, script), os.path.join(top, "page", "lib"))


def workers_user():
    """The sandbox's nginx workers' user (testbed: www-data, else nobody)."""
    try:
        pwd.getpwnam("www-data")
        return "www-data"
    except KeyError:
        return "nobody"


def start_page_site(port):
    """The page's site: its certificate signed by the sandbox's CA, an nginx
    serving /node/page/site over HTTPS; the site's root."""
    prefix = "/node/page"
    root = prefix + "/site"
    os.makedirs(prefix + "/run")
    os.makedirs(root)
    key, csr, cert = (os.path.join(prefix, PAGE_SITE + ext) for ext in (".key", ".csr", ".pem"))
    run(["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc",
         "-keyout", key, "-subj", "/CN=" + PAGE_SITE, "-addext", "subjectAltName=DNS:" + PAGE_SITE, "-out", csr])
    run(["openssl", "x509", "-req", "-in", csr, "-CA", nt.env("CN_CA"), "-CAkey", nt.env("CN_CA_KEY"),
         "-days", "2", "-copy_extensions", "copy", "-out", cert])
    run([os.path.join(nt.ROOT, "frontend", "cachenode-conf"), "-t", os.path.join(HERE, "page.conf.in"),
         "-o", prefix + "/nginx.conf", "listen=127.0.0.1:%d" % port, "root=" + root, "site=" + PAGE_SITE,
         "cert=" + cert, "key=" + key, "user=" + workers_user()])
    run([nt.env("CN_TESTBED"), "--launch", "page", str(port)])
    return root


def trust_ca(home):
    """An NSS database in home's ~/.pki/nssdb, where Chromium on Linux looks
    for the roots its user added, holding the sandbox's CA as trusted to
    issue servers' certificates."""
    db = "sql:" + os.path.join(home, ".pki", "nssdb")
    os.makedirs(os.path.join(home, ".pki", "nssdb"))
    run(["certutil", "-N", "-d", db, "--empty-password"])
    run(["certutil", "-A", "-d", db, "-n", "testbed CA", "-t", "C,,", "-i", nt.env("CN_CA")])


def drive(plays, work, modules):
    """Runs the plays in one Chromium; the driver's record of each, by id."""
    plan = os.path.join(work, "plan.json")
    with open(plan, "w") as f:
        json.dump({"chromium": CHROMIUM, "modules": modules, "resolve": [NODE_SITE, PAGE_SITE],
                   "seconds": PLAY_SECONDS, "plays": plays}, f)
    env = dict(os.environ, HOME=os.path.join(work, "home"), TMPDIR=os.path.join(work, "tmp"))
    os.makedirs(env["TMPDIR"])
    done = subprocess.run(["node", os.path.join(HERE, "drive.js"), plan], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=30 + (PLAY_SECONDS + 5) * len(plays))
    nt.check(done.returncode == 0, "drive.js exited with %d: %s" % (done.returncode, done.stderr[-2000:]))
    return {record["id"]: record for record in map(json.loads, done.stdout.splitlines())}


def answers_below(record, base):
    """The answers to requests below base, in the order they came."""
    return [r for r in record["responses"] if r["url"].startswith(base)]


def check_play(play, record, first):
    """A play that must have played: 3 s, a seek past the buffer, 2 s more,
    no player error, every answer below the case's base a 200; in the MISS
    round each URL's first answer a MISS, in the HIT round each URL that the
    MISS round asked (first) a HIT. Returns the URLs asked."""
    result, answers = record["result"], answers_below(record, play["base"])
    if not nt.check(result.get("ok"), "%s did not play: %s; failed requests %s; console %s"
                    % (play["id"], result.get("error"), record["failures"][:5], record["console"][-5:])):
        return set()
    nt.check(all(a["status"] == 200 for a in answers), "%s: answers other than 200: %s"
             % (play["id"], [(a["url"], a["status"]) for a in answers if a["status"] != 200][:5]))
    nt.check(any(a["url"].endswith((".ts", ".m4s")) for a in answers), "%s: no segment asked" % play["id"])
    # A signed stream's token is in the manifest's URL alone: the others
    # were admitted by the renewal cookie.
    tokens = [a["url"] for a in answers[1:] if "URISigningPackage=" in a["url"]]
    nt.check(not tokens, "%s: URLs with a token besides the manifest's: %s" % (play["id"], tokens[:3]))
    nt.check(not result["buffered"], "%s: the seek's point was buffered before it" % play["id"])
    seen = {}
    for a in answers:
        seen.setdefault(a["url"], a["xcache"])
    if play["round"] == "MISS":
        nt.check(all(x == "MISS" for x in seen.values()), "%s: first answers not MISS: %s"
                 % (play["id"], [(u, x) for u, x in seen.items() if x != "MISS"][:5]))
    else:
        again = [a for a in answers if a["url"] in first]
        nt.check(again and all(a["xcache"] == "HIT" for a in again), "%s: answers again not HIT: %s"
                 % (play["id"], [(a["url"], a["xcache"]) for a in again if a["xcache"] != "HIT"][:5]))
    counts = [sum(1 for a in answers if a["xcache"] == x) for x in ("MISS", "HIT")]
    protocols = sorted({a["protocol"] for a in answers})
    allowed = sorted({a["allow"] or "none" for a in answers})
    print("players: %-7s %-4s page %-6s %-4s  time to play %4.0f ms, seek %4.0f ms;  %2d MISS %2d HIT, %s, "
          "Allow-Origin %s, %dp%s"
          % (play["player"], play["stream"], play["site"], play["round"], result["ttp"], result["seek"],
             counts[0], counts[1], "/".join(protocols), "/".join(allowed), result["height"],
             "; recovered: %s" % result["notes"] if result["notes"] else ""), flush=True)
    return set(seen)


def check_refused(play, record):
    """A play that must fail for want of CORS: no frame played, and the
    browser's CORS check refused an answer from below the case's base."""
    result = record["result"]
    refused = [f["cors"] for f in record["failures"] if f["url"].startswith(play["base"]) and f["cors"]]
    nt.check(not result.get("ok") and refused, "%s: played %s, CORS refusals %s, failed requests %s"
             % (play["id"], result.get("ok"), refused[:3], record["failures"][:3]))
    print("players: %-7s %-4s page %-6s refused by the browser's CORS check (%s): %s"
          % (play["player"], play["stream"], play["site"], ", ".join(sorted(set(refused))) or "-",
             (result.get("error") or "")[:100]), flush=True)


def check_forbidden(play, record):
    """A signed play without credentials: the manifest, whose URL has the
    token, a 200; no frame played, the node refusing what the cookie alone
    would have admitted (403)."""
    result, answers = record["result"], answers_below(record, play["base"])
    forbidden = [a["url"] for a in answers if a["status"] == 403]
    nt.check(not result.get("ok") and forbidden and answers and answers[0]["status"] == 200
             and not any(a["status"] == 200 and a["url"].endswith(".ts") for a in answers),
             "%s: played %s, answers %s" % (play["id"], result.get("ok"),
                                            [(a["url"][len(play["base"]):], a["status"]) for a in answers][:6]))
    print("players: %-7s %-4s page %-6s without credentials: %d answers 403 (%s), %s"
          % (play["player"], play["stream"], play["site"], len(forbidden),
             ", ".join(sorted({u[len(play["base"]):].split("?")[0] for u in forbidden}))[:80],
             (result.get("error") or "")[:100]), flush=True)


def write_keys():
    """The signed site's key file: KID's secret, as python3-jwt writes a JWK."""
    os.makedirs(os.path.dirname(KEYS), exist_ok=True)
    with open(KEYS, "w") as f:
        json.dump({"keys": [dict(json.loads(HMACAlgorithm.to_jwk(SECRET)), kid=KID)]}, f)


def tls_front(name, knobs):
    """One more front end of the sandbox, with HTTPS for the node's site and
    these knobs; its HTTPS port."""
    plain, secure = nt.free_ports(2)
    started = nt.start_front(name, plain, "tls_listen=127.0.0.1:%d" % secure, "tls_cert=" + nt.env("CN_TLS_CERT"),
                             "tls_key=" + nt.env("CN_TLS_KEY"), *knobs)
    nt.check(started, "the front end with %s did not start: %s"
             % (" ".join(knobs), nt.error_log("/node/" + name)[-500:]))
    return secure


def signed_query(claims, directory):
    """The query of a manifest's URL with a token of claims for the
    stream's directory (/SITE/N/hls): every URL below it over HTTPS, and the
    renewal cookie's Path that directory."""
    claims = dict(claims, exp=int(time.time()) + 600, cdnistd=directory.count("/"),
                  cdniuc="regex:https://%s%s/.*" % (NODE_SITE.replace(".", "\\."), directory))
    return "?URISigningPackage=" + jwt.encode(claims, SECRET, algorithm="HS256", headers={"kid": KID})


def plan(origins, files, streams):
    """A play per case, site and round, each case with streams of its own
    below CN_FILES/SITE/N. origins: a site's (page, node) origins."""
    plays = []
    for site, _, _, rounds, signs in SITES:
        page, node = origins[site]
        for n, (player, stream, manifest, options, cookies, claims) in enumerate(CASES):
            if (claims is not None) != signs:
                continue
            kind = manifest.split("/")[0]
            shutil.copytree(os.path.join(streams, kind), os.path.join(files, site, str(n), kind))
            base = "%s/%s/%d/" % (node, site, n)
            src = base + manifest + (signed_query(claims, "/%s/%d/%s" % (site, n, kind)) if signs else "")
            for round_ in rounds:
                # The same play without credentials: no cookie goes.
                opts = {k: v for k, v in options.items() if round_ != "FORBIDDEN" or k != "credentials"}
                query = urllib.parse.urlencode({"player": player, "src": src, "seek": SEEK_TO,
                                                "opts": json.dumps(opts)})
                plays.append({"id": " ".join((player, stream, site, round_)), "player": player,
                              "stream": stream, "site": site, "round": round_, "base": base,
                              "url": "%s/page/player.html?%s" % (page, query),
                              "cookies": [dict(c, url=node) for c in cookies]})
    return plays


def group_vod():
    why = missing()
    if why:
        if os.environ.get("CI"):
            nt.fail("CI's set-up installs what the players need, but " + why)
            return
        nt.skip(why)
    modules = os.environ["CN_PLAYERS_MODULES"]
    work = "/tmp/players"
    os.makedirs(work)
    make_streams(os.path.join(work, "streams"))
    page_port, = nt.free_ports(1)
    place_page(start_page_site(page_port), modules)
    trust_ca(os.path.join(work, "home"))
    files = nt.env("CN_FILES")
    place_page(os.path.join(files, "own"), modules)
    write_keys()
    origins = {}
    page = "https://%s:%d" % (PAGE_SITE, page_port)
    for site, page_site, knobs, _, _ in SITES:
        knobs = [k.format(page=page) for k in knobs]
        port = tls_front(site, knobs) if knobs else nt.front_tls().rsplit(":", 1)[1]
        node = "https://%s:%s" % (NODE_SITE, port)
        origins[site] = (node + "/own" if page_site == NODE_SITE else page, node)
    plays = plan(origins, files, os.path.join(work, "streams"))
    records = drive([{k: p[k] for k in ("id", "url", "cookies")} for p in plays], work, modules)
    first = {}
    for play in plays:
        record = records.get(play["id"])
        if not nt.check(record, "%s: the driver left no record" % play["id"]):
            continue
        if play["round"] == "REFUSED":
            check_refused(play, record)
        elif play["round"] == "FORBIDDEN":
            check_forbidden(play, record)
        else:
            asked = check_play(play, record, first.get(play["base"], set()))
            first.setdefault(play["base"], asked)


def options(modules=""):
    """The sandbox's options; it reads the build tree's node_modules where
    it is, named to the group by CN_PLAYERS_MODULES."""
    os.environ["CN_PLAYERS_MODULES"] = os.path.abspath(modules) if modules else ""
    binds = ["--bind", os.path.abspath(modules)] if modules and os.path.isdir(modules) else []
    return ["--tls", "--knob", "hosts=" + NODE_SITE] + binds


if __name__ == "__main__":
    nt.run({"vod": (group_vod, options)}, __file__)
