#!/bin/bash
# bench_tls: the front end over HTTPS against plain nginx with the same
# certificate and TLS settings (the ssl_ lines of the front end's rendered
# configuration), in one run of the node sandbox with --tls. Each figure is
# printed beside its reference and target; nothing is asserted.
#
# 1. HITs of 20 kB files over 12 cache directories, one nginx worker each, no
#    access log: HTTP/1.1 with wrk (one thread, 16 connections) and HTTP/2
#    with h2load (one thread, 16 connections, 10 streams each, 40,000
#    requests); medians of the rounds, each server's run beside plain nginx's
#    of the same round.
# 2. A 256 MiB cached file over HTTPS/1.1 with curl, plain nginx against the
#    front end (and the front end over plain HTTP), MiB/s. Neither uses
#    kernel TLS, which this machine's kernel lacks.
# 3. A streamed miss of a 16 MiB file from an origin sending 8 MiB/s, to the
#    testbed's own front end (two workers, the template's defaults): the first
#    byte over HTTPS against plain HTTP, and the handshake's share.
#
#   tls_bench.sh BUILD_DIR      (tools/bench.sh runs it with build-bench)
#
# Root only (node sandbox); exit 77 skips. BENCH_SECONDS (wrk's run),
# BENCH_H2_REQUESTS (h2load's), BENCH_RUNS, BENCH_BIG_RUNS and BENCH_MISS_RUNS
# (the rounds of each part) change its length.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_RUN=${BENCH_SECONDS:-3}
RUNS=${BENCH_RUNS:-5}
H2_REQUESTS=${BENCH_H2_REQUESTS:-40000}
BIG_RUNS=${BENCH_BIG_RUNS:-5}
MISS_RUNS=${BENCH_MISS_RUNS:-5}
HOST=bench.example
HIT_FILES=100
BIG_SIZE=$((256 << 20))
MISS_SIZE=$((16 << 20))
MISS_RATE=$((8 << 20))

# ---------------------------------------------------------------- inside
# shellcheck source=bench_lib.sh
. "$HERE/bench_lib.sh"

# Plain nginx of prefix /node/plain, one worker, no access log, serving the
# cache tmpfs below /plain/ on port $1 and over TLS on port $2 with the first
# certificate and the front end's own ssl_ lines (from its configuration $3).
plain_conf() {
    stock_conf plain "$1" "$(grep '^    ssl_' "$3")" "        listen 127.0.0.1:$2 ssl http2;
        ssl_certificate ${CN_TLS_CERT%%|*};
        ssl_certificate_key ${CN_TLS_KEY%%|*};
        location /plain/ { alias /node/cache/; }"
}

# requests/s of wrk over HTTPS/1.1 against port $1 with the paths of file $2.
h1_rate() {
    wrk_rate "https://127.0.0.1:$1" "$2"
}

# requests/s of h2load over HTTP/2 against port $1 with the paths of file $2.
h2_rate() {
    sed "s|^|https://$HOST:$1|" "$2" >/tmp/h2.uris
    local out
    # A count, not -D: h2load 1.52 counts no request of a timed run.
    out=$(h2load -t1 -c16 -m10 -n "$H2_REQUESTS" --connect-to="127.0.0.1:$1" -i /tmp/h2.uris 2>&1)
    grep -q 'status codes: [0-9]* 2xx, 0 3xx, 0 4xx, 0 5xx' <<<"$out" ||
        echo "bench_tls: h2load from port $1: $(grep 'status codes' <<<"$out" || tail -n 3 <<<"$out")" >&2
    grep -q '^Application protocol: h2' <<<"$out" || echo "bench_tls: h2load did not use HTTP/2" >&2
    awk '/^finished in/ {sub(/,/, "", $4); printf "%.0f", $4}' <<<"$out"
}

# Rounds of plain nginx then the front end with tool $1 (h1_rate, h2_rate);
# prints "plain-rate front-rate ratio", medians.
hit_rounds() {
    local round plain front
    : >/tmp/hit.plain
    : >/tmp/hit.front
    : >/tmp/hit.ratio
    for round in $(seq "$RUNS"); do
        plain=$("$1" "$PLAIN_TLS" /tmp/plain.paths)
        front=$("$1" "$FRONT_TLS" /tmp/front.paths)
        echo "$plain" >>/tmp/hit.plain
        echo "$front" >>/tmp/hit.front
        ratio "$front" "$plain" >>/tmp/hit.ratio
    done
    echo "$(median </tmp/hit.plain) $(median </tmp/hit.front) $(median </tmp/hit.ratio)"
}

hit_part() {
    place_files 20k "$HIT_FILES"
    local ports
    read -r -a ports < <(free_ports 4)
    "$CN_TESTBED" --front fe "${ports[0]}" worker_processes=1 access_log=off \
        tls_listen="127.0.0.1:${ports[1]}" tls_cert="$CN_TLS_CERT" tls_key="$CN_TLS_KEY"
    plain_conf "${ports[2]}" "${ports[3]}" /node/fe/nginx.conf
    start plain "${ports[2]}"
    PLAIN_TLS=${ports[3]} FRONT_PORT=${ports[0]} FRONT_TLS=${ports[1]}
    # Every path a HIT before the measuring starts: the one worker serves both
    # ports from the same files and memo.
    warm "$FRONT_PORT" /tmp/front.paths X-Cache
    echo "HTTPS HITs: 20 kB files over 12 cache directories, one nginx worker, no access log," \
        "median of $RUNS rounds of ${SECONDS_PER_RUN} s"
    printf '  %-38s %12s %12s %7s  %s\n' client "plain req/s" "front req/s" ratio target
    local line tool label
    for tool in h1_rate h2_rate; do
        case $tool in
            h1_rate) label="HTTP/1.1, wrk -t1 -c16" ;;
            h2_rate) label="HTTP/2, h2load -t1 -c16 -m10" ;;
        esac
        read -r -a line < <(hit_rounds "$tool")
        printf '  %-38s %12.0f %12.0f %7.3f  %s\n' "$label" "${line[0]}" "${line[1]}" "${line[2]}" \
            ">= 0.9: $(verdict "${line[2]} >= 0.9")"
    done
}

# MiB/s of one download of URL $1 with curl; more curl arguments follow.
speed() {
    curl -s -o /dev/null -w '%{speed_download} %{size_download}\n' "$@" | awk -v want="$BIG_SIZE" '
        $2 != want { print "bench_tls: a large download got " $2 " bytes" > "/dev/stderr" }
        { printf "%.1f\n", $1 / 1048576 }'
}

big_part() {
    head -c "$BIG_SIZE" /dev/urandom >"$CN_FILES/vod/big.mp4"
    local path
    path=$("$CN_CLI" --lib "$CN_LIB" uri "http://$HOST/vod/big.mp4" "$CN_DIRS")
    cp "$CN_FILES/vod/big.mp4" "$path"
    chown "$TB_USER" "$path"
    local tls=(--cacert "$CN_CA" --resolve "$HOST:$FRONT_TLS:127.0.0.1" --resolve "$HOST:$PLAIN_TLS:127.0.0.1")
    : >/tmp/big.plain
    : >/tmp/big.front
    : >/tmp/big.http
    local round
    for round in $(seq "$BIG_RUNS"); do
        speed "https://$HOST:$PLAIN_TLS/plain/${path#/node/cache/}" "${tls[@]}" --http1.1 >>/tmp/big.plain
        speed "https://$HOST:$FRONT_TLS/vod/big.mp4" "${tls[@]}" --http1.1 >>/tmp/big.front
        speed "http://127.0.0.1:$FRONT_PORT/vod/big.mp4" -H "Host: $HOST" >>/tmp/big.http
    done
    local plain front http
    plain=$(median </tmp/big.plain)
    front=$(median </tmp/big.front)
    http=$(median </tmp/big.http)
    echo "A 256 MiB cached file with curl over HTTPS/1.1, no kernel TLS, median of $BIG_RUNS, MiB/s"
    printf '  %-38s %10s %7s\n' server "MiB/s" ratio
    printf '  %-38s %10.1f\n' "plain nginx, HTTPS" "$plain"
    printf '  %-38s %10.1f %7.3f\n' "front end, HTTPS" "$front" "$(ratio "$front" "$plain")"
    printf '  %-38s %10.1f %7.3f\n' "front end, plain HTTP (sendfile)" "$http" "$(ratio "$http" "$plain")"
    rm -f "$path"
}

miss_part() {
    head -c "$MISS_SIZE" /dev/urandom >/tmp/miss.mp4
    local port=${CN_FRONT#*:} tls_port=${CN_FRONT_TLS#*:} round
    : >/tmp/miss.http
    : >/tmp/miss.https
    for round in $(seq "$MISS_RUNS"); do
        curl -s -o /dev/null -H "Host: $HOST" -w '%{time_starttransfer} 0 %{size_download}\n' \
            "http://127.0.0.1:$port/rate/$MISS_RATE/$(fresh_name miss.mp4 "http$round")" >>/tmp/miss.http
        curl -s -o /dev/null --cacert "$CN_CA" --resolve "$HOST:$tls_port:127.0.0.1" \
            -w '%{time_starttransfer} %{time_appconnect} %{size_download}\n' \
            "https://$HOST:$tls_port/rate/$MISS_RATE/$(fresh_name miss.mp4 "https$round")" >>/tmp/miss.https
    done
    awk -v want="$MISS_SIZE" '$3 != want { print "bench_tls: a miss got " $3 " bytes" > "/dev/stderr" }' \
        /tmp/miss.http /tmp/miss.https
    local http https handshake
    http=$(awk '{print $1 * 1000}' /tmp/miss.http | median)
    https=$(awk '{print $1 * 1000}' /tmp/miss.https | median)
    handshake=$(awk '{print $2 * 1000}' /tmp/miss.https | median)
    echo "First byte of a streamed 16 MiB miss, origin at 8 MiB/s, median of $MISS_RUNS, ms"
    printf '  %-38s %10s  %s\n' "" "first byte" target
    printf '  %-38s %10.1f\n' "plain HTTP" "$http"
    printf '  %-38s %10.1f  %s\n' "HTTPS (handshake $(printf '%.1f' "$handshake") ms of it)" "$https" \
        "<= plain + 20 ms: $(verdict "$https <= $http + 20")"
}

inside() {
    local started=$EPOCHREALTIME load_before
    load_before=$(load)
    hit_part
    echo
    big_part
    echo
    miss_part
    run_footer "$started" "$load_before"
}

if [ "${1:-}" = --in ]; then
    inside
    exit 0
fi

# ---------------------------------------------------------------- outside
build=$(cd "${1:?usage: tls_bench.sh BUILD_DIR}" && pwd)
for tool in wrk h2load openssl; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed (tools/bootstrap.sh)"; exit 77; }
done
exec "$HERE/../tools/testbed/testbed" --dirs 12 --cache-size 1g --knob hosts="$HOST" --tls \
    --fetchwrap "$build/fetchwrap/fetchwrap" --lib "$build/cachekit/libcachekit.so.1" \
    --cli "$build/cachekit/cli/cachekit" -- "$HERE/tls_bench.sh" --in
