#!/bin/bash
# The cache node part of the demo, run by tools/demo.sh inside the node sandbox
# (tools/testbed/testbed, which sets the CN_* variables): a few requests to
# the front end, each printed with MISS or HIT, its cache path and its bytes,
# then one request every few seconds and the disk guard's removals as they
# happen, until the demo is stopped.
set -uo pipefail

# node.sh GUARD_SECONDS CACHE_MIB THRESHOLD_GIB, as the testbed was given them.
GUARD_SECONDS=$1 CACHE_MIB=$2 THRESHOLD_GIB=$3
HOST=demo.example

# request TARGET [CURL ARGS...]: one GET, printed as the front end answered it.
request() {
    local target=$1
    shift
    local out status xcache bytes path
    out=$(curl -s -g -o /tmp/body -D /tmp/headers -w '%{http_code} %{size_download}' \
        -H "Host: $HOST" "$@" "http://$CN_FRONT$target") || out="000 0"
    read -r status bytes <<<"$out"
    case $status in
        200 | 206)
            xcache=$(tr -d '\r' </tmp/headers | awk -F': ' 'tolower($1) == "x-cache" {print $2}')
            path=$("$CN_CLI" --lib "$CN_LIB" uri "http://$HOST$target" "$CN_DIRS")
            printf '%-4s %s %-28s -> %s, %s bytes\n' "$xcache" "$status" "$target $*" "$path" \
                "$bytes" ;;
        *) printf '%-4s %s %-28s (nothing fetched or written)\n' "-" "$status" "$target" ;;
    esac
}

# stream TARGET WHO: one GET of a larger file, printed with the times of its
# first byte and of its end, counted from its own start.
stream() {
    local out status first total bytes
    out=$(curl -s -o /dev/null -w '%{http_code} %{time_starttransfer} %{time_total} %{size_download}' \
        -H "Host: $HOST" "http://$CN_FRONT$1") || out="000 0 0 0"
    read -r status first total bytes <<<"$out"
    awk -v s="$status" -v w="$2" -v f="$first" -v a="$total" -v b="$bytes" 'BEGIN {
        printf "MISS %s %-17s first byte after %.0f ms, all %s bytes after %.1f s\n",
            s, w ":", f * 1000, b, a }'
}

echo "origin $CN_ORIGIN serves $CN_FILES; front end $CN_FRONT, cache directories $CN_DIRS"
echo "(a $CACHE_MIB MiB tmpfs); misses run fetchwrap, whose kelpclient is the curl stand-in."
head -c $((16 << 20)) /dev/urandom >"$CN_FILES/vod/trailer.mp4"
request /vod/movie01.mp4
request /vod/movie02.mp4
request /vod/movie01.mp4
request /vod/movie02.mp4 -H 'Range: bytes=0-9999'
request "/vod/movie03.mp4?session=42"
request /vod/movie03.mp4
request /vod/%2e%2e/%2e%2e/etc/passwd.mp4
echo "a 16 MiB miss from an origin that sends 8 MiB/s (its /rate/ location) is streamed as it"
echo "arrives; a viewer who joins after the start gets the bytes so far at once:"
stream /rate/8388608/vod/trailer.mp4 "first viewer" >/tmp/first &
sleep 1
stream /rate/8388608/vod/trailer.mp4 "joins after 1 s" >/tmp/joiner
wait
cat /tmp/first /tmp/joiner
request /rate/8388608/vod/trailer.mp4
echo "the cache is always below the guard's $THRESHOLD_GIB GiB threshold: every $GUARD_SECONDS s the guard"
echo "removes the least recently used file of each directory (autodel.log below); a request"
echo "every 5 s. Ctrl-C stops the demo."

tail -n +1 -F "$CN_AUTODEL" 2>/dev/null | sed -u 's/^/guard: /' &
n=0
while sleep 5; do
    n=$((n % 4 + 1))
    request "/vod/movie0$n.mp4"
done
