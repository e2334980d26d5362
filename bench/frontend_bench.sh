#!/bin/bash
# bench_frontend: requests per second that the front end answers with HITs
# against plain nginx serving the same files by an alias, in the same run, with
# wrk: 20 kB and 1 MB files over 4 and 12 cache directories, one nginx worker
# each. Front end variants: the library (uri2d on every request), the library
# with a per-worker memo of URL to path (memo_size), and a stand-in library
# whose ring is built literally (a std::map of digest texts) on every call.
# Below each group: the time each variant adds to a request, from the median
# plain rate and the median ratio; the library's minus the memo's is about
# the time uri2d takes.
#
#   frontend_bench.sh BUILD_DIR     (tools/bench.sh runs it with build-bench)
#
# Runs in the node sandbox (frontend/testbed/testbed), as root; exit 77 skips.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
SECONDS_PER_RUN=${BENCH_SECONDS:-3}
RUNS=${BENCH_RUNS:-5}
HOST=bench.example

# ---------------------------------------------------------------- inside
# Starts the nginx of prefix /node/$1 (its nginx.conf is there) that serves
# port $2, and waits until it answers.
start() {
    "$CN_TESTBED" --launch "$1" "$2"
}

stop() {
    local pid
    pid=$(cat "/node/$1/master.pid")
    kill "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
}

# wrk against port $1 with the paths of file $2; prints requests/s. One wrk
# thread and one nginx worker: each has a core of its own on a two-core machine.
measure() {
    local out
    out=$(wrk -t1 -c16 -d"${SECONDS_PER_RUN}s" -s "$HERE/frontend_bench.lua" \
        "http://127.0.0.1:$1" -- "$2" "$HOST")
    if grep -q 'Non-2xx' <<<"$out"; then
        echo "bench_frontend: answers other than 2xx for $2:" >&2
        grep 'Non-2xx' <<<"$out" >&2
    fi
    awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out"
}

median() {
    sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# Plain nginx on the port of the testbed's front end, which the benchmark
# does not use: the files by an alias, one worker, no access log.
plain_conf() {
    mkdir -p /node/plain/logs /node/plain/run
    cat >/node/plain/nginx.conf <<CONF
user $TB_USER;
worker_processes 1;
pid run/nginx.pid;
error_log logs/error.log notice;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path run/body;
    proxy_temp_path run/proxy;
    fastcgi_temp_path run/fastcgi;
    uwsgi_temp_path run/uwsgi;
    scgi_temp_path run/scgi;
    server {
        listen $CN_FRONT;
        location /plain/ { alias /node/cache/; }
    }
}
CONF
}

# Puts $2 files of size $1 at the paths uri2d gives them among the directory
# list $3, and writes the request paths for the front end and plain nginx.
place_files() {
    mkdir -p "$CN_FILES/vod/$1"
    local i
    for i in $(seq "$2"); do
        [ -f "$CN_FILES/vod/$1/f$i.mp4" ] || head -c "$1" /dev/urandom >"$CN_FILES/vod/$1/f$i.mp4"
    done
    seq "$2" | xargs -P 4 -I{} sh -c '
        path=$("$0" --lib "$1" uri "http://$2/vod/$3/f{}.mp4" "$4")
        mkdir -p "$(dirname "$path")" && cp "$5/vod/$3/f{}.mp4" "$path" && echo "$path"
    ' "$CN_CLI" "$CN_LIB" "$HOST" "$1" "$3" "$CN_FILES" | sed 's|^/node/cache/|/plain/|' \
        >/tmp/plain.paths
    chown -R "$TB_USER" /node/cache
    seq "$2" | sed "s|.*|/vod/$1/f&.mp4|" >/tmp/front.paths
}

inside() {
    local literal=$1 size count dirs i list variant label
    local front_port=${CN_FRONT#*:}
    kill "$(cat /node/front/master.pid)"
    plain_conf
    printf '%-6s %-4s %-24s %12s %12s %6s\n' files dirs "front end" "plain req/s" "front req/s" ratio
    for size in 20k 1M; do
        count=100
        [ $size = 1M ] && count=20
        for dirs in 4 12; do
            list=/node/cache/d1
            for i in $(seq 2 "$dirs"); do list="$list|/node/cache/d$i"; done
            place_files $size $count "$list"
            start plain "$front_port"
            local extra=""
            for variant in library memo literal; do
                local -a knobs=(cache_dirs="$list" worker_processes=1 access_log=off memo_size=0)
                local pairs=$RUNS
                label="library"
                [ $variant = memo ] && { knobs+=(memo_size=10000); label="library + memo"; }
                [ $variant = literal ] && { knobs+=(cachekit_lib="$literal"); label="literal ring"; pairs=1; }
                "$CN_TESTBED" --front "fe-$variant" "$CN_SPARE_PORT" "${knobs[@]}"
                # One request per file first: every request measured is a HIT.
                xargs -I{} curl -s -o /dev/null -H "Host: $HOST" "http://127.0.0.1:$CN_SPARE_PORT{}" \
                    </tmp/front.paths
                # Pairs of runs, plain then front end, so that both see the
                # same load of a shared machine; medians of each.
                : >/tmp/plain.rates
                : >/tmp/front.rates
                : >/tmp/ratios
                local plain front
                for i in $(seq "$pairs"); do
                    plain=$(measure "$front_port" /tmp/plain.paths)
                    front=$(measure "$CN_SPARE_PORT" /tmp/front.paths)
                    echo "$plain" >>/tmp/plain.rates
                    echo "$front" >>/tmp/front.rates
                    awk -v a="$front" -v b="$plain" 'BEGIN {print a / b}' >>/tmp/ratios
                done
                stop "fe-$variant"
                local ratio plain_rate
                ratio=$(median </tmp/ratios)
                plain_rate=$(median </tmp/plain.rates)
                printf '%-6s %-4s %-24s %12.0f %12.0f %6.3f\n' "$size" "$dirs" "$label" \
                    "$plain_rate" "$(median </tmp/front.rates)" "$ratio"
                extra="$extra $label: $(awk -v p="$plain_rate" -v r="$ratio" \
                    'BEGIN {printf "%.0f", 1e6 / p * (1 / r - 1)}') us;"
            done
            stop plain
            echo "    time per request beyond plain nginx:$extra"
        done
    done
}

if [ "${1:-}" = --in ]; then
    inside "$2"
    exit 0
fi

# ---------------------------------------------------------------- outside
build=$(cd "${1:?usage: frontend_bench.sh BUILD_DIR}" && pwd)
command -v wrk >/dev/null || { echo "SKIP: wrk is not installed"; exit 77; }
exec "$HERE/../frontend/testbed/testbed" --dirs 12 --cache-size 512m \
    --fetchwrap "$build/fetchwrap/fetchwrap" --lib "$build/cachekit/libcachekit.so.1" \
    --cli "$build/tools/cachekit" --extra "$build/bench/libliteral_cachekit.so" \
    -- "$HERE/frontend_bench.sh" --in /node/bin/libliteral_cachekit.so
