#!/bin/bash
# bench_signing: what signed URLs cost a HIT, in one run of the node sandbox.
# Each figure is printed beside its reference and its target; nothing is
# asserted. Tokens are minted by python3-jwt (HS256).
#
# 1. HITs of 20 kB files over 12 cache directories, one nginx worker each, no
#    access log, wrk -t1 -c16, medians of the rounds, each run's ratio to
#    plain nginx's of its round: plain nginx by an alias (the reference);
#    plain nginx with its secure_link module (an MD5 of expiry, path and a
#    secret in the query: the peer an operator would pick); the front end
#    for an unsigned site; the front end for a signed site with one token for
#    every file (a viewer's token, checked once and remembered: its claims
#    and cdniuc's expression on every request); and with a new token on every
#    request (50,000 tokens in turn, so that the worker's memory of 4,096
#    never holds the next one: a signature check and a JSON decoding each);
#    and the remembered token again with a player's Origin (cors_origins
#    lists it: the CORS headers with Access-Control-Allow-Credentials). The
#    other front ends have cors_origins=off, as plain nginx sends no CORS
#    header; each signed case has a worker of its own.
#    Target: signed HITs with a remembered token at least secure_link's rate.
# 2. A flood of 50,000 requests with bad tokens (a known kid, a wrong
#    signature, each a new one) against the front end of two workers, while a
#    viewer asks for a cached file with its good token over new connections
#    (h2load, HTTP/1.1, 16 connections, a count of requests):
#    the viewer's first byte (median and p99) without and with the flood, and
#    the workers' resident memory before and after.
#
#   signing_bench.sh BUILD_DIR      (tools/bench.sh runs it with build-bench)
#
# Root only (node sandbox); exit 77 skips. BENCH_SECONDS, BENCH_RUNS,
# BENCH_FLOOD and BENCH_VIEWER change a wrk run's length, the rounds, the
# flood's requests and the viewer's asks without it (during the flood, one
# every 2 ms for as long as it lasts).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_RUN=${BENCH_SECONDS:-3}
RUNS=${BENCH_RUNS:-5}
FLOOD=${BENCH_FLOOD:-50000}
VIEWER=${BENCH_VIEWER:-300}
HOST=bench.example
HIT_FILES=100
FRESH=50000
KEYS=/tmp/bench.jwks
# The page of a player on another site, as cors_origins lists it.
PLAYER=https://player.example

# ---------------------------------------------------------------- inside
# shellcheck source=bench_lib.sh
. "$HERE/bench_lib.sh"

# The key file and the request lists: /tmp/signed.paths (one token for all
# files), /tmp/fresh.paths (a token each), /tmp/bad.paths (bad signatures),
# /tmp/secure.paths (secure_link's md5 and expires for plain nginx).
mint() {
    /usr/bin/python3 - "$KEYS" "$FRESH" "$FLOOD" <<'PY'
import base64, hashlib, json, os, sys, time
import jwt
from jwt.algorithms import HMACAlgorithm
keys, fresh, flood = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
secret = os.urandom(32)
with open(keys, "w") as f:
    json.dump({"keys": [dict(json.loads(HMACAlgorithm.to_jwk(secret)), kid="bench")]}, f)
exp = int(time.time()) + 3600
front = open("/tmp/front.paths").read().split()
plain = open("/tmp/plain.paths").read().split()
claims = {"exp": exp, "cdniuc": "regex:http://bench\\.example/vod/20k/.*"}
def token(**more):
    return jwt.encode(dict(claims, **more), secret, algorithm="HS256", headers={"kid": "bench"})
one = token()
with open("/tmp/signed.paths", "w") as f:
    f.writelines("%s?URISigningPackage=%s\n" % (p, one) for p in front)
with open("/tmp/fresh.paths", "w") as f:
    f.writelines("%s?URISigningPackage=%s\n" % (front[i % len(front)], token(sub=str(i)))
                 for i in range(fresh))
head, body, _ = one.split(".")
with open("/tmp/bad.paths", "w") as f:
    for i in range(flood):
        sig = base64.urlsafe_b64encode(os.urandom(32)).rstrip(b"=").decode()
        f.write("%s?URISigningPackage=%s.%s.%s\n" % (front[i % len(front)], head, body, sig))
with open("/tmp/secure.paths", "w") as f:
    for p in plain:
        md5 = hashlib.md5(("%d%s bench-secret" % (exp, p)).encode()).digest()
        f.write("%s?md5=%s&expires=%d\n" % (p, base64.urlsafe_b64encode(md5).rstrip(b"=").decode(), exp))
PY
}

# Plain nginx with secure_link in front of the same alias.
secure_conf() {
    stock_conf secure "$1" "" "        location /plain/ {
            secure_link \$arg_md5,\$arg_expires;
            secure_link_md5 \"\$secure_link_expires\$uri bench-secret\";
            if (\$secure_link = \"\") { return 403; }
            if (\$secure_link = \"0\") { return 410; }
            alias /node/cache/;
        }"
}

declare -a NAMES LABELS PORTS PATHS ORIGINS

# A server of the HIT part: name, label, port, paths file and the Origin its
# requests carry ("" for none).
server() {
    NAMES+=("$1")
    LABELS+=("$2")
    PORTS+=("$3")
    PATHS+=("$4")
    ORIGINS+=("${5:-}")
}

hit_part() {
    local ports
    read -r -a ports < <(free_ports 6)
    stock_conf plain "${ports[0]}" "" "        location /plain/ { alias /node/cache/; }"
    start plain "${ports[0]}"
    server plain "plain nginx (alias)" "${ports[0]}" /tmp/plain.paths
    secure_conf "${ports[1]}"
    start secure "${ports[1]}"
    server secure "plain nginx, secure_link" "${ports[1]}" /tmp/secure.paths
    "$CN_TESTBED" --front fe-plain "${ports[2]}" worker_processes=1 access_log=off cors_origins=off
    warm "${ports[2]}" /tmp/front.paths X-Cache
    server fe-plain "front end, unsigned" "${ports[2]}" /tmp/front.paths
    # Each signed case has its worker: new tokens fill its memory and its
    # heap, and a list of origins costs every HIT its maps.
    local i fronts=(fe-signed fe-fresh fe-player)
    for i in 3 4 5; do
        "$CN_TESTBED" --front "${fronts[i - 3]}" "${ports[i]}" worker_processes=1 access_log=off \
            uri_signing=all uri_signing_keys="$KEYS" cors_origins="$([ "$i" = 5 ] && echo "$PLAYER" || echo off)"
        warm "${ports[i]}" /tmp/signed.paths X-Cache
    done
    server fe-signed "front end, signed, one token" "${ports[3]}" /tmp/signed.paths
    server fe-fresh "front end, signed, new tokens" "${ports[4]}" /tmp/fresh.paths
    server fe-player "  one token, a player's Origin" "${ports[5]}" /tmp/signed.paths "$PLAYER"

    local i round rate plain
    for i in "${!LABELS[@]}"; do : >"/tmp/rate.$i"; : >"/tmp/ratio.$i"; done
    for round in $(seq "$RUNS"); do
        for i in "${!LABELS[@]}"; do
            rate=$(wrk_rate "http://127.0.0.1:${PORTS[i]}" "${PATHS[i]}" "${ORIGINS[i]}")
            [ "$i" = 0 ] && plain=$rate
            echo "$rate" >>"/tmp/rate.$i"
            ratio "$rate" "$plain" >>"/tmp/ratio.$i"
        done
    done
    local secure signed fresh plain_rate
    plain_rate=$(median </tmp/rate.0)
    secure=$(median </tmp/ratio.1)
    signed=$(median </tmp/ratio.3)
    fresh=$(median </tmp/ratio.4)
    echo "HITs: 20 kB files over 12 cache directories, one nginx worker, wrk -t1 -c16," \
        "median of $RUNS rounds of ${SECONDS_PER_RUN} s"
    printf '  %-32s %8s %7s  %s\n' server "req/s" ratio target
    for i in "${!LABELS[@]}"; do
        local target=""
        [ "$i" = 3 ] && target="at least secure_link: $(verdict "$signed >= $secure")"
        printf '  %-32s %8.0f %7.3f  %s\n' "${LABELS[i]}" "$(median <"/tmp/rate.$i")" \
            "$(median <"/tmp/ratio.$i")" "$target"
    done
    echo "  time per request beyond plain nginx: secure_link" \
        "$(awk -v p="$plain_rate" -v r="$secure" 'BEGIN {printf "%.2f", 1e6 / p * (1 / r - 1)}') us;" \
        "signed, one token $(awk -v p="$plain_rate" -v r="$signed" 'BEGIN {printf "%.2f", 1e6 / p * (1 / r - 1)}') us;" \
        "a new token $(awk -v p="$plain_rate" -v r="$fresh" 'BEGIN {printf "%.2f", 1e6 / p * (1 / r - 1)}') us"
    for name in plain secure fe-plain fe-signed fe-fresh fe-player; do stop "$name"; done
}

# The viewer: $3 asks of port $1 for target $2, each over a new connection,
# spread over $4 seconds, or (with a pid $5) one every 2 ms for as long as
# that process lives; prints the median and p99 of the first byte in ms, the
# count of answers other than 200 and the asks.
viewer() {
    /usr/bin/python3 - "$@" <<'PY'
import os, socket, statistics, sys, time
port, target, count, spread = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
pid = int(sys.argv[5]) if len(sys.argv) > 5 else 0

def living():
    try:
        return open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False

times, bad = [], 0
while living() if pid else len(times) < count:
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(("GET %s HTTP/1.1\r\nHost: bench.example\r\nConnection: close\r\n\r\n" % target).encode())
    head = s.recv(65536)
    times.append(time.monotonic() - start)
    while s.recv(65536):
        pass
    s.close()
    bad += not head.startswith(b"HTTP/1.1 200")
    time.sleep(max(0, (0.002 if pid else spread / count) - (time.monotonic() - start)))
times.sort()
print("%.2f %.2f %d %d" % (statistics.median(times) * 1000, times[max(0, int(len(times) * 0.99) - 1)] * 1000,
                           bad, len(times)))
PY
}

workers_kb() {
    local pid total=0
    for pid in $(ps -o pid= --ppid "$(cat /node/fe-flood/master.pid)"); do
        total=$((total + $(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")))
    done
    echo "$total"
}

flood_part() {
    local port target quiet loud before after
    port=$(free_ports 1)
    "$CN_TESTBED" --front fe-flood "$port" access_log=off uri_signing=all uri_signing_keys="$KEYS" \
        cors_origins="$PLAYER"
    target=$(head -n 1 /tmp/signed.paths)
    warm "$port" /tmp/signed.paths X-Cache
    before=$(workers_kb)
    quiet=$(viewer "$port" "$target" "$VIEWER" 3)
    # h2load ends once its count of requests is answered (wrk runs its time).
    sed "s|^|http://127.0.0.1:$port|" /tmp/bad.paths >/tmp/bad.uris
    local t0=$EPOCHREALTIME
    h2load --h1 -t1 -c16 -n "$FLOOD" -H "Host: $HOST" -i /tmp/bad.uris >/tmp/flood.out 2>&1 &
    local flood=$!
    loud=$(viewer "$port" "$target" 0 0 "$flood")
    wait "$flood" || true
    local took
    took=$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f", b - a}')
    after=$(workers_kb)
    echo "A flood of $FLOOD requests with bad tokens (over ${took} s: $(awk -v n="$FLOOD" -v s="$took" \
        'BEGIN {printf "%.0f", n / s}') req/s), two workers; a viewer's HITs over new connections"
    printf '  %-22s %10s %8s %8s %6s\n' phase "median ms" "p99 ms" "not 200" asks
    printf '  %-22s %10s %8s %8s %6s\n' "no flood" $quiet
    printf '  %-22s %10s %8s %8s %6s\n' "during the flood" $loud
    echo "  workers' resident memory: $((before / 1024)) MB before, $((after / 1024)) MB after" \
        "($(((after - before) / 1024)) MB)"
    grep -E '^status codes' /tmp/flood.out | sed 's/^/  h2load: /'
    stop fe-flood
}

inside() {
    local started=$EPOCHREALTIME load_before
    load_before=$(load)
    place_files 20k "$HIT_FILES"
    mint
    hit_part
    echo
    flood_part
    run_footer "$started" "$load_before"
}

if [ "${1:-}" = --in ]; then
    inside
    exit 0
fi

# ---------------------------------------------------------------- outside
build=$(cd "${1:?usage: signing_bench.sh BUILD_DIR}" && pwd)
command -v wrk >/dev/null || { echo "SKIP: wrk is not installed"; exit 77; }
command -v h2load >/dev/null || { echo "SKIP: h2load is not installed (nghttp2-client)"; exit 77; }
/usr/bin/python3 -c 'import jwt' 2>/dev/null || { echo "SKIP: python3-jwt is not installed"; exit 77; }
exec "$HERE/../tools/testbed/testbed" --dirs 12 --cache-size 768m --knob hosts="$HOST" \
    --fetchwrap "$build/fetchwrap/fetchwrap" --lib "$build/cachekit/libcachekit.so.1" \
    --cli "$build/cachekit/cli/cachekit" -- "$HERE/signing_bench.sh" --in
