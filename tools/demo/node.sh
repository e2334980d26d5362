#!/bin/bash
# The cache node part of the demo, run by tools/demo.sh inside the node sandbox
# (tools/testbed/testbed --tls, which sets the CN_* variables and made a
# certificate for the site): a few requests to the front end over plain HTTP
# and HTTPS, each printed with MISS or HIT, the protocol it used, its cache
# path and its bytes, then one request every few seconds and the disk guard's
# removals as they happen, until the demo is stopped.
set -uo pipefail

# node.sh GUARD_SECONDS CACHE_MIB THRESHOLD_GIB, as the testbed was given them.
GUARD_SECONDS=$1 CACHE_MIB=$2 THRESHOLD_GIB=$3
HOST=demo.example

# The URL of TARGET over plain HTTP, or with --tls over HTTPS, where curl
# resolves the site to the front end and checks its certificate against the
# sandbox's CA; then curl's arguments for it, one a line.
url() {
    if [ "$1" = --tls ]; then
        local port=${CN_FRONT_TLS#*:}
        printf '%s\n' "https://$HOST:$port$2" --cacert "$CN_CA" --resolve "$HOST:$port:127.0.0.1"
    else
        printf '%s\n' "http://$CN_FRONT$1" -H "Host: $HOST"
    fi
}

# request [--tls] TARGET [CURL ARGS...]: one GET, printed as the front end
# answered it, with the protocol it used.
request() {
    local -a where
    mapfile -t where < <(url "$@")
    [ "$1" != --tls ] || shift
    local target=$1
    shift
    local out status proto xcache bytes path
    out=$(curl -s -g -o /tmp/body -D /tmp/headers -w '%{http_code} %{scheme}/%{http_version} %{size_download}' \
        "${where[@]:1}" "$@" "${where[0]}") || out="000 - 0"
    read -r status proto bytes <<<"$out"
    case $status in
        200 | 206)
            xcache=$(tr -d '\r' </tmp/headers | awk -F': ' 'tolower($1) == "x-cache" {print $2}')
            path=$("$CN_CLI" --lib "$CN_LIB" uri "http://$HOST$target" "$CN_DIRS")
            printf '%-4s %s %-10s %-28s -> %s, %s bytes\n' "$xcache" "$status" "$proto" "$target $*" \
                "$path" "$bytes" ;;
        *) printf '%-4s %s %-10s %-28s (nothing fetched or written)\n' "-" "$status" "$proto" "$target" ;;
    esac
}

# stream [--tls] TARGET WHO: one GET of a larger file, printed with its
# protocol and the times of its first byte and of its end, counted from its
# own start.
stream() {
    local -a where
    mapfile -t where < <(url "$@")
    [ "$1" != --tls ] || shift
    local out status proto first total bytes
    out=$(curl -s -o /dev/null -w '%{http_code} %{scheme}/%{http_version} %{time_starttransfer} %{time_total} %{size_download}' \
        "${where[@]:1}" "${where[0]}") || out="000 - 0 0 0"
    read -r status proto first total bytes <<<"$out"
    awk -v s="$status" -v p="$proto" -v w="$2" -v f="$first" -v a="$total" -v b="$bytes" 'BEGIN {
        printf "MISS %s %-10s %-17s first byte after %.0f ms, all %s bytes after %.1f s\n",
            s, p, w ":", f * 1000, b, a }'
}

echo "origin $CN_ORIGIN serves $CN_FILES; front end $CN_FRONT, HTTPS $CN_FRONT_TLS with a certificate"
echo "for $HOST made just now by the sandbox's CA; cache directories $CN_DIRS (a $CACHE_MIB MiB"
echo "tmpfs); misses run fetchwrap, whose kelpclient is the curl stand-in."
head -c $((16 << 20)) /dev/urandom >"$CN_FILES/vod/trailer.mp4"
request /vod/movie01.mp4
request /vod/movie02.mp4
request /vod/movie01.mp4
request /vod/movie02.mp4 -H 'Range: bytes=0-9999'
request "/vod/movie03.mp4?session=42"
request /vod/movie03.mp4
request /vod/%2e%2e/%2e%2e/etc/passwd.mp4
echo "over HTTPS, HTTP/2 unless the client asks for HTTP/1.1; the scheme is not part of the"
echo "cache file, so what plain HTTP cached is a HIT over HTTPS too:"
request --tls /vod/movie01.mp4
request --tls /vod/movie04.mp4 --http1.1
request --tls /vod/movie04.mp4
request --tls /vod/movie02.mp4 -H 'Range: bytes=0-9999'
echo "a 16 MiB miss from an origin that sends 8 MiB/s (its /rate/ location) is streamed as it"
echo "arrives; a viewer who joins after the start, here over HTTPS, gets the bytes so far at once:"
stream /rate/8388608/vod/trailer.mp4 "first viewer" >/tmp/first &
sleep 1
stream --tls /rate/8388608/vod/trailer.mp4 "joins after 1 s" >/tmp/joiner
wait
cat /tmp/first /tmp/joiner
request --tls /rate/8388608/vod/trailer.mp4
echo "the cache is always below the guard's $THRESHOLD_GIB GiB threshold: every $GUARD_SECONDS s the guard"
echo "removes the least recently used file of each directory (autodel.log below); a request"
echo "every 5 s, plain and HTTPS in turn. Ctrl-C stops the demo."

tail -n +1 -F "$CN_AUTODEL" 2>/dev/null | sed -u 's/^/guard: /' &
n=0
while sleep 5; do
    n=$((n % 4 + 1))
    if [ $((n % 2)) = 0 ]; then request --tls "/vod/movie0$n.mp4"; else request "/vod/movie0$n.mp4"; fi
done
