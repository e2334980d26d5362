#!/bin/bash
# bench_frontend_memo: first what a set that evicts and a get cost in the two
# LRU caches of lua-resty-lrucache, the memo's and the other, at the default
# memo_size and at powers of two (memo_lru.lua in a plain nginx's
# init_by_lua, no root); then the resident memory that the front end's
# per-worker memo of URL to cache path takes per entry. Two front ends with one worker each, one
# without the memo and one with memo_size=MEMO, get the same load of
# distinct URLs (wrk, GET); fetchwrap names no program, so that every miss
# ends at once and the load reaches many URLs. The memo's share is the
# difference of their growth, over the entries filled.
#
#   frontend_memo.sh BUILD_DIR     (tools/bench.sh runs it with build-bench)
#
# The memory runs in the node sandbox (tools/testbed/testbed), as root; exit
# 77 skips.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
URLS=${MEMO_URLS:-100000}
SECONDS_PER_RUN=${BENCH_SECONDS:-20}

rss_kb() {
    awk '/^VmRSS/ {print $2}' "/proc/$1/status"
}

inside() {
    seq "$URLS" | sed 's|.*|/vod/s&/clip&.mp4|' >/tmp/paths
    kill "$(cat /node/front/master.pid)"
    printf '%-10s %10s %10s %10s %10s\n' memo_size requests "rss start" "rss end" "growth kB"
    local size
    for size in 0 "$URLS"; do
        "$CN_TESTBED" --front "memo$size" "$CN_SPARE_PORT" worker_processes=1 memo_size="$size" \
            fetchwrap=/nonexistent access_log=off
        local worker start end requests
        worker=$(ps -o pid= --ppid "$(cat "/node/memo$size/master.pid")" | tr -d ' ')
        start=$(rss_kb "$worker")
        requests=$(wrk -t1 -c8 -d"${SECONDS_PER_RUN}s" -s "$HERE/frontend_bench.lua" \
            "http://127.0.0.1:$CN_SPARE_PORT" -- /tmp/paths memo.example |
            awk '/requests in/ {print $1}')
        end=$(rss_kb "$worker")
        printf '%-10s %10s %10s %10s %10s\n' "$size" "$requests" "$start" "$end" $((end - start))
        echo "$size $requests $start $end" >>/tmp/memo.rows
        kill "$(cat "/node/memo$size/master.pid")"
        sleep 0.5
    done
    # Every request of the memo's run named a URL not seen before, up to URLS.
    awk -v urls="$URLS" '
        { req[NR] = $2; grow[NR] = $4 - $3; start[NR] = $3 }
        END {
            entries = req[2] < urls ? req[2] : urls
            printf "memo: %.0f bytes an entry filled (%d entries), %.0f bytes a slot at start\n",
                (grow[2] - grow[1]) * 1024 / entries, entries, (start[2] - start[1]) * 1024 / urls
        }' /tmp/memo.rows
}

# The Lua tests' runner gives memo_lru.lua its plain nginx.
lru_costs() {
    local size
    size=$("$HERE/../frontend/cachenode-conf" -k memo_size hosts=memo.example)
    "$HERE/../tests/frontend/lua/run.sh" "$HERE/.." "$HERE/memo_lru.lua" "$size" 4096 16384 ||
        echo "(no LRU figures: the runner's status $?)"
}

if [ "${1:-}" = --in ]; then
    inside
    exit 0
fi

build=$(cd "${1:?usage: frontend_memo.sh BUILD_DIR}" && pwd)
lru_costs
command -v wrk >/dev/null || { echo "SKIP: wrk is not installed"; exit 77; }
exec "$HERE/../tools/testbed/testbed" --knob hosts=memo.example \
    --fetchwrap "$build/fetchwrap/fetchwrap" --lib "$build/cachekit/libcachekit.so.1" \
    --cli "$build/cachekit/cli/cachekit" -- "$HERE/frontend_memo.sh" --in
