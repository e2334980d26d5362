#!/bin/bash
# bench_frontend: the front end against stock nginx on the same machine, in one
# run of the node sandbox. Each figure is printed beside its reference and its
# target; nothing is asserted.
#
# 1. HITs: requests per second with wrk (one thread, 16 connections) for 20 kB
#    files over 12 cache directories, one nginx worker each: plain nginx
#    serving the files by an alias (the reference), nginx's proxy_cache in
#    front of the testbed's origin (warmed: every request measured is a cache
#    hit), and the front end with its memo of URL to path, without it (uri2d
#    on every request) and with a stand-in library whose ring is built
#    literally on every call. Below: the time each adds to a request; the
#    library's minus the memo's is about the time uri2d takes. The memo's
#    server is asked once more with an Origin on every request, as a page's
#    player sends it: the CORS headers' cost beside the same without. The
#    memo's server listens on 127.0.0.1 alone; another listens on [::1]
#    too (when the machine has it), whose clients' key is a map, asked over
#    127.0.0.1 beside the first and over [::1] beside 127.0.0.1.
# 2. A miss of a 48 MiB file from an origin sending 8 MiB/s: first byte and end
#    for the origin itself, proxy_cache's first client (its default
#    buffering), the front end's first viewer and a viewer joining a second
#    later, on the same download.
# 3. A miss of a 50 kB file from the origin at full speed: the front end's
#    answer against fetchwrap run by hand for the same kind of file.
#
# The misses go to the testbed's own front end (two workers, access log and
# memo as the template has them). Every miss asks for a name never asked
# before (hard links of one file at the origin), so each is a real one.
#
#   frontend_bench.sh BUILD_DIR     (tools/bench.sh runs it with build-bench)
#
# Runs in the node sandbox (tools/testbed/testbed), as root; exit 77 skips.
# BENCH_SECONDS, BENCH_RUNS, BENCH_MISS_RUNS and BENCH_SMALL_RUNS change the
# length of a wrk run and the number of rounds of each part.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_RUN=${BENCH_SECONDS:-3}
RUNS=${BENCH_RUNS:-7}
MISS_RUNS=${BENCH_MISS_RUNS:-3}
SMALL_RUNS=${BENCH_SMALL_RUNS:-40}
HOST=bench.example
HIT_FILES=100
BIG_SIZE=$((48 << 20))
BIG_RATE=$((8 << 20))
SMALL_SIZE=50000
# When the second viewer of the large miss asks, after the first.
JOIN_AFTER=1

# ---------------------------------------------------------------- inside
# shellcheck source=bench_lib.sh
. "$HERE/bench_lib.sh"

# Plain nginx: the cache directories by an alias.
plain_conf() {
    stock_conf plain "$1" "" "        location /plain/ { alias /node/cache/; }"
}

# nginx's proxy_cache in front of the origin, its cache on the cache tmpfs.
# Every answer names its cache status, and one that is not a HIT is logged,
# so that a run measuring anything but hits shows.
proxy_conf() {
    mkdir -p /node/cache/proxy
    chown "$TB_USER" /node/cache/proxy
    stock_conf proxy "$1" "
    proxy_cache_path /node/cache/proxy levels=1:2 keys_zone=bench:16m inactive=1h use_temp_path=off;
    map \$upstream_cache_status \$not_hit { HIT 0; default 1; }
    log_format status '\$upstream_cache_status \$request_uri';" "
        location / {
            proxy_pass http://$CN_ORIGIN;
            proxy_cache bench;
            proxy_cache_valid 200 1h;
            add_header X-Cache-Status \$upstream_cache_status;
            access_log logs/not_hit.log status if=\$not_hit;
        }"
}

# The HIT servers: name, label, port, paths file, rounds (all unless given),
# the Origin its requests carry (none unless given) and the address asked
# (127.0.0.1 unless given); plain nginx first.
declare -a HIT_NAMES HIT_LABELS HIT_PORTS HIT_PATHS HIT_ROUNDS HIT_ORIGINS HIT_ADDRS

hit_server() {
    HIT_NAMES+=("$1")
    HIT_LABELS+=("$2")
    HIT_PORTS+=("$3")
    HIT_PATHS+=("$4")
    HIT_ROUNDS+=("${5:-$RUNS}")
    HIT_ORIGINS+=("${6:-}")
    HIT_ADDRS+=("${7:-127.0.0.1}")
}

# Starts a one-worker front end of prefix /node/$1 on port $3 with the knobs
# after $4, warms it and lists it as $2, measured in $4 rounds.
front_server() {
    local name=$1 label=$2 port=$3 rounds=$4
    shift 4
    "$CN_TESTBED" --front "$name" "$port" worker_processes=1 access_log=off "$@"
    warm "$port" /tmp/front.paths X-Cache
    hit_server "$name" "$label" "$port" /tmp/front.paths "$rounds"
}

# Starts every HIT server and warms it; $1 is the literal ring's library.
hit_servers() {
    local ports
    read -r -a ports < <(free_ports 5)
    plain_conf "${ports[0]}"
    start plain "${ports[0]}"
    hit_server plain "plain nginx (alias)" "${ports[0]}" /tmp/plain.paths
    proxy_conf "${ports[1]}"
    start proxy "${ports[1]}"
    warm "${ports[1]}" /tmp/front.paths X-Cache-Status
    # From here on, any line is a request that was not a hit.
    : >/node/proxy/logs/not_hit.log
    hit_server proxy "nginx proxy_cache" "${ports[1]}" /tmp/front.paths
    front_server fe-memo "front end, memo" "${ports[2]}" "$RUNS" memo_size=10000
    # The same server, asked from a page.
    hit_server fe-origin "front end, memo, Origin" "${ports[2]}" /tmp/front.paths "$RUNS" \
        https://www.site.example
    # One that listens on the loopback's IPv6 address too (when the machine
    # has one), so that an IPv6 client's key is a map: asked over 127.0.0.1
    # and over [::1].
    if ip -6 addr show dev lo 2>/dev/null | grep -q 'inet6 ::1/'; then
        front_server fe-dual "front end, IPv6 listen" "${ports[4]}" "$RUNS" memo_size=10000 \
            "listen=127.0.0.1:${ports[4]}|[::1]:${ports[4]}"
        hit_server fe-ipv6 "front end, memo, [::1]" "${ports[4]}" /tmp/front.paths "$RUNS" "" "[::1]"
    fi
    front_server fe-library "front end, no memo" "${ports[3]}" "$RUNS" memo_size=0
    # A hundred requests a second: one round tells its cost.
    front_server fe-literal "front end, literal ring" "$CN_SPARE_PORT" 1 memo_size=0 \
        cachekit_lib="$1"
}

# Rounds of one run per server, plain nginx first, so that every server sees
# the load of a shared machine that its reference saw; the ratio of each run
# is to the plain run of its round. /tmp/hit.NAME.rates and .ratios.
hit_rounds() {
    local i round plain rate
    for i in "${!HIT_NAMES[@]}"; do
        : >"/tmp/hit.${HIT_NAMES[i]}.rates"
        : >"/tmp/hit.${HIT_NAMES[i]}.ratios"
    done
    for round in $(seq "$RUNS"); do
        for i in "${!HIT_NAMES[@]}"; do
            [ "$round" -le "${HIT_ROUNDS[i]}" ] || continue
            rate=$(wrk_rate "http://${HIT_ADDRS[i]}:${HIT_PORTS[i]}" "${HIT_PATHS[i]}" "${HIT_ORIGINS[i]}")
            [ "$i" = 0 ] && plain=$rate
            echo "$rate" >>"/tmp/hit.${HIT_NAMES[i]}.rates"
            ratio "$rate" "$plain" >>"/tmp/hit.${HIT_NAMES[i]}.ratios"
        done
    done
    if [ -s /node/proxy/logs/not_hit.log ]; then
        echo "bench_frontend: proxy_cache answered $(wc -l </node/proxy/logs/not_hit.log)" \
            "requests other than from its cache, first:" >&2
        head -n 3 /node/proxy/logs/not_hit.log >&2
    fi
}

# The table of the HIT part, with the targets beside the memo's line.
hit_table() {
    local i name ratio plain_rate extra="" target
    plain_rate=$(median </tmp/hit.plain.rates)
    local memo proxy
    memo=$(median </tmp/hit.fe-memo.ratios)
    proxy=$(median </tmp/hit.proxy.ratios)
    echo "HITs: 20 kB files over 12 cache directories, one nginx worker, wrk -t1 -c16," \
        "median of $RUNS rounds of ${SECONDS_PER_RUN} s (the literal ring: one)"
    printf '  %-26s %8s %7s  %s\n' server "req/s" ratio target
    for i in "${!HIT_NAMES[@]}"; do
        name=${HIT_NAMES[i]}
        ratio=$(median <"/tmp/hit.$name.ratios")
        target=""
        [ "$name" = fe-memo ] && target=">= 0.92 and at least proxy_cache: $(verdict \
            "$memo >= 0.92 && $memo >= $proxy")"
        [ "$name" = fe-origin ] && target="within noise of the same without Origin (>= 0.97 of it):" &&
            target="$target $(ratio "$ratio" "$memo" | awk '{printf "%.3f", $1}'), $(verdict \
            "$ratio >= 0.97 * $memo")"
        [ "$name" = fe-dual ] && target="against the memo's: $(ratio "$ratio" "$memo" | awk '{printf "%.3f", $1}')"
        [ "$name" = fe-ipv6 ] && target="against 127.0.0.1: $(ratio "$ratio" \
            "$(median </tmp/hit.fe-dual.ratios)" | awk '{printf "%.3f", $1}')"
        printf '  %-26s %8.0f %7.3f  %s\n' "${HIT_LABELS[i]}" "$(median <"/tmp/hit.$name.rates")" \
            "$ratio" "$target"
        [ "$i" = 0 ] && continue
        extra="$extra ${HIT_LABELS[i]#front end, }: $(awk -v p="$plain_rate" -v r="$ratio" \
            'BEGIN {printf "%.1f", 1e6 / p * (1 / r - 1)}') us;"
    done
    echo "  time per request beyond plain nginx:$extra"
}

hit_part() {
    place_files 20k "$HIT_FILES"
    hit_servers "$1"
    hit_rounds
    hit_table
    local name
    for name in "${HIT_NAMES[@]}"; do
        # A server asked twice is stopped once.
        [ "$name" = proxy ] || [ ! -e "/node/$name/master.pid" ] || stop "$name"
    done
}

# ------------------------------------------------------------ misses
# curl for port $1, path $2; prints "first-byte end bytes cache-status" in
# seconds. The status is the X-Cache or X-Cache-Status header, or "-".
timed_get() {
    curl -s -o /dev/null -H "Host: $HOST" \
        -w '%{time_starttransfer} %{time_total} %{size_download} %header{x-cache}%header{x-cache-status}\n' \
        "http://127.0.0.1:$1/$2" | awk '{print $1, $2, $3, ($4 == "" ? "-" : $4)}'
}

# Complains when answer $2 (timed_get's line) of what $1 names is not the
# whole file of $3 bytes or, with $4, not a cache status $4.
check_answer() {
    local bytes status
    read -r _ _ bytes status <<<"$2"
    if [ "$bytes" != "$3" ] || { [ -n "${4:-}" ] && [ "$status" != "$4" ]; }; then
        echo "bench_frontend: $1 got $bytes bytes of $3, cache status $status${4:+ (wanted $4)}" >&2
    fi
}

# Round $1 of the large miss, each client on a name of its own:
# /tmp/big.{origin,proxy,first,joiner} get "first-byte end" lines. The
# joiner's end counts from the first viewer's request, as its file is the
# same download.
big_round() {
    local origin_port=${CN_ORIGIN#*:} front_port=${CN_FRONT#*:} line rate=/rate/$BIG_RATE
    line=$(timed_get "$origin_port" "${rate#/}/$(fresh_name big.mp4 "origin$1")")
    check_answer "the origin" "$line" "$BIG_SIZE"
    echo "${line% * *}" >>/tmp/big.origin
    line=$(timed_get "$PROXY_PORT" "${rate#/}/$(fresh_name big.mp4 "proxy$1")")
    check_answer "proxy_cache's first client" "$line" "$BIG_SIZE" MISS
    echo "${line% * *}" >>/tmp/big.proxy

    local path t0 t1
    path=${rate#/}/$(fresh_name big.mp4 "front$1")
    t0=$EPOCHREALTIME
    timed_get "$front_port" "$path" >/tmp/big.first.line &
    sleep "$JOIN_AFTER"
    t1=$EPOCHREALTIME
    line=$(timed_get "$front_port" "$path")
    wait
    check_answer "the front end's first viewer" "$(cat /tmp/big.first.line)" "$BIG_SIZE" MISS
    check_answer "the front end's joining viewer" "$line" "$BIG_SIZE" MISS
    awk '{print $1, $2}' /tmp/big.first.line >>/tmp/big.first
    awk -v d="$(awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}')" '{print $1, $2 + d}' \
        <<<"$line" >>/tmp/big.joiner
}

big_part() {
    head -c "$BIG_SIZE" /dev/urandom >/tmp/big.mp4
    : >/tmp/big.origin
    : >/tmp/big.proxy
    : >/tmp/big.first
    : >/tmp/big.joiner
    local round
    for round in $(seq "$MISS_RUNS"); do
        big_round "$round"
    done
    local origin_first origin_end
    origin_first=$(column_median /tmp/big.origin 1)
    origin_end=$(column_median /tmp/big.origin 2)
    echo "Miss of a 48 MiB file from an origin at 8 MiB/s, median of $MISS_RUNS runs, seconds" \
        "(the joiner's end counts from the first viewer's request)"
    printf '  %-26s %10s %8s %10s  %s\n' client "first byte" end "end ratio" target
    local name label first end target
    for name in origin proxy first joiner; do
        case $name in
            origin) label="origin direct" ;;
            proxy) label="proxy_cache, first client" ;;
            first) label="front end, first viewer" ;;
            joiner) label="front end, joins at ${JOIN_AFTER} s" ;;
        esac
        first=$(column_median "/tmp/big.$name" 1)
        end=$(column_median "/tmp/big.$name" 2)
        target=""
        case $name in first | joiner)
            target="first byte <= origin + 0.020, end <= 1.05 x origin: $(verdict \
                "$first <= $origin_first + 0.020 && $end <= 1.05 * $origin_end")" ;;
        esac
        printf '  %-26s %10.4f %8.3f %10.3f  %s\n' "$label" "$first" "$end" \
            "$(ratio "$end" "$origin_end")" "$target"
    done
}

# Seconds that fetchwrap, run by hand, takes for path $1 into a file of /tmp.
fetchwrap_seconds() {
    local t0 t1
    t0=$EPOCHREALTIME
    PATH=/node/bin:$PATH /node/bin/fetchwrap /tmp/small.out "http://$HOST/$1" >/dev/null
    t1=$EPOCHREALTIME
    [ "$(stat -c %s /tmp/small.out)" = "$SMALL_SIZE" ] ||
        echo "bench_frontend: fetchwrap by hand got $(stat -c %s /tmp/small.out) bytes" >&2
    awk -v a="$t0" -v b="$t1" 'BEGIN {print b - a}'
}

# Rounds of the small miss, fetchwrap by hand then the front end, each on a
# new name; medians in milliseconds.
small_part() {
    local front_port=${CN_FRONT#*:} round line
    head -c "$SMALL_SIZE" /dev/urandom >/tmp/small.mp4
    : >/tmp/small.hand
    : >/tmp/small.front
    for round in $(seq "$SMALL_RUNS"); do
        fetchwrap_seconds "$(fresh_name small.mp4 "hand$round")" >>/tmp/small.hand
        line=$(timed_get "$front_port" "$(fresh_name small.mp4 "front$round")")
        check_answer "the front end's small miss" "$line" "$SMALL_SIZE" MISS
        awk '{print $2}' <<<"$line" >>/tmp/small.front
    done
    local hand front
    hand=$(median </tmp/small.hand)
    front=$(median </tmp/small.front)
    echo "Miss of a 50 kB file from the origin at full speed, median of $SMALL_RUNS runs, ms"
    printf '  %-26s %8s %8s  %s\n' "" end beyond target
    printf '  %-26s %8.2f\n' "fetchwrap by hand" "$(awk -v s="$hand" 'BEGIN {print s * 1000}')"
    printf '  %-26s %8.2f %8.2f  %s\n' "front end" "$(awk -v s="$front" 'BEGIN {print s * 1000}')" \
        "$(awk -v a="$front" -v b="$hand" 'BEGIN {print (a - b) * 1000}')" \
        "<= 1 ms beyond fetchwrap: $(verdict "$front - $hand <= 0.001")"
}

inside() {
    local started=$EPOCHREALTIME load_before
    load_before=$(load)
    hit_part "$1"
    PROXY_PORT=${HIT_PORTS[1]}
    echo
    big_part
    echo
    small_part
    run_footer "$started" "$load_before"
}

if [ "${1:-}" = --in ]; then
    inside "$2"
    exit 0
fi

# ---------------------------------------------------------------- outside
build=$(cd "${1:?usage: frontend_bench.sh BUILD_DIR}" && pwd)
command -v wrk >/dev/null || { echo "SKIP: wrk is not installed"; exit 77; }
exec "$HERE/../tools/testbed/testbed" --dirs 12 --cache-size 768m --knob hosts="$HOST" \
    --fetchwrap "$build/fetchwrap/fetchwrap" --lib "$build/cachekit/libcachekit.so.1" \
    --cli "$build/cachekit/cli/cachekit" --extra "$build/bench/libliteral_cachekit.so" \
    -- "$HERE/frontend_bench.sh" --in /node/bin/libliteral_cachekit.so
