#!/bin/bash
# The front end as a client and the node's operator see it: real nginx with
# cachenode.lua, the built fetchwrap and library, the stand-in kelpclient and
# an origin nginx, all inside the testbed's sandbox (tools/testbed/testbed).
#
#   frontend_test.sh GROUP FETCHWRAP LIBRARY CACHEKIT_CLI DISPATCH_LISTEN   (from CTest)
#   frontend_test.sh ffi SOURCE_DIR SYS_PROBE                (no sandbox needed)
#
# Each GROUP starts its own node with the options it needs, then runs again
# inside it as `frontend_test.sh --in GROUP`. Exit 77 means skipped.
set -eEuo pipefail
# Where set -e ends the run, say so: otherwise a group just exits 1.
trap 'echo "frontend_test.sh: line $LINENO: \"$BASH_COMMAND\" exited $?" >&2' ERR

HERE=$(cd "$(dirname "$0")" && pwd)
FAILED=0

fail() {
    echo "FAIL: $*" >&2
    FAILED=1
}

# ---------------------------------------------------------------- helpers
# Inside the sandbox. get TARGET [CURL ARGS...]: fetches http://$CN_FRONT
# TARGET with Host node7 (unless the arguments name another); sets STATUS,
# XCACHE and BODY (the file holding the body).
BODY=/tmp/body
get() {
    local target=$1
    shift
    # shellcheck disable=SC2046 # host_args gives two words
    STATUS=$(curl -s -g --path-as-is -o "$BODY" -D /tmp/headers -w '%{http_code}' \
        $(host_args "$@") "$@" "http://$CN_FRONT$target" || true)
    XCACHE=$(tr -d '\r' </tmp/headers | awk -F': ' 'tolower($1) == "x-cache" {print $2}')
}

# The curl arguments for Host node7, unless the arguments given name another.
host_args() {
    [[ " $* " == *" Host:"* ]] || echo "-H Host:node7"
}

# get_all OUTDIR [CURL ARGS...] -- TARGET...: one curl for many targets (each
# curl start costs more than a request), Host node7 unless the arguments name
# another, the body of the n-th target in OUTDIR/n; prints "n status x-cache"
# per target.
get_all() {
    local dir=$1 n=0 target
    shift
    local -a args=()
    while [ "$1" != -- ]; do args+=("$1"); shift; done
    shift
    mkdir -p "$dir"
    local -a urls=()
    for target in "$@"; do
        n=$((n + 1))
        urls+=("http://$CN_FRONT$target" -o "$dir/$n")
    done
    # A parallel curl draws its progress meter even when silent, with no line
    # feed before the next -w text.
    # shellcheck disable=SC2046 # host_args gives two words
    curl -s -g --path-as-is $(host_args "${args[@]}") "${args[@]}" \
        -w '%{stderr}=%{urlnum} %{http_code} %header{x-cache}\n' "${urls[@]}" 2>&1 >/dev/null |
        grep -o '=[0-9]* [0-9]* [A-Z]*' | awk '{print substr($1, 2) + 1, $2, $3}' | sort -n
}

# The cache path uri2d gives for a URL, asked of the library by another host
# (the cachekit program).
cache_path() {
    "$CN_CLI" --lib "$CN_LIB" uri "$1" "$CN_DIRS"
}

# The status line of the front end's answer to checkdisk's notification for PATH.
notify() {
    curl -s -I "http://$CN_FRONT/cachenode/ondelete?node=1&vid=$1" | head -n 1 | tr -d '\r'
}

client_runs() {
    wc -l <"$CN_CLIENT_LOG"
}

# wait_until 'CONDITION': evaluates the shell text CONDITION every 20 ms until
# it holds, for up to 10 s; fails when it never does.
wait_until() {
    local i
    for i in $(seq 500); do
        eval "$1" && return 0
        sleep 0.02
    done
    return 1
}

# The temporary file of a download of cache path $1 in progress, if any.
temp_of() {
    { compgen -G "$1.cn-*-*.part" || true; } | head -n 1
}

# The fetch processes that run (not zombies), one "pid ppid name" a line.
fetch_procs() {
    ps -eo stat=,pid=,ppid=,comm= |
        awk '$1 !~ /^Z/ && ($4 == "curl" || $4 == "kelpclient" || $4 == "fetchwrap") {print $2, $3, $4}'
}

# make_file PATH BYTES: an origin file of random bytes.
make_file() {
    mkdir -p "$(dirname "$CN_FILES/$1")"
    head -c "$2" /dev/urandom >"$CN_FILES/$1"
}

# ---------------------------------------------------------------- groups
# The disk guard on a 16 MiB tmpfs (always below 1 GiB free): checkdisk for
# each directory removes its oldest files, except the temporary file of a
# download still running, which the front end's notification keeps.
group_evict() {
    local i path
    local -a paths=()
    for i in 1 2 3 4 5 6 7 8; do
        make_file "vod/e$i.mp4" 5000
        get "/vod/e$i.mp4"
        [ "$STATUS" = 200 ] || fail "/vod/e$i.mp4: status $STATUS"
        path=$(cache_path "http://node7/vod/e$i.mp4")
        touch -a -d "@$((1500000000 + i))" "$path"
        paths+=("$path")
    done
    # 1 MB at 64 kB/s: the fetch runs for about 16 s, far longer than the
    # check. HEAD starts it and reads nothing, which would set the temporary
    # file's access time.
    make_file vod/fetching.mp4 1000000
    curl -s -I -o /dev/null -H 'Host: node7' "http://$CN_FRONT/slow/vod/fetching.mp4"
    local slow
    slow=$(cache_path http://node7/slow/vod/fetching.mp4)
    wait_until '[ -s "$(temp_of "$slow")" ]' || { fail "the slow fetch wrote nothing"; return; }
    slow=$(temp_of "$slow")
    touch -a -d @1500000000 "$slow"
    paths+=("$slow")

    # Expected log: for each directory in list order, its three oldest files.
    local -a expect=()
    local dir
    IFS='|' read -r -a dirs <<<"$CN_DIRS"
    for dir in "${dirs[@]}"; do
        while read -r _ path; do
            if [ "$path" = "$slow" ]; then expect+=("can not autodel $path"); else expect+=("autodel $path"); fi
        done < <(for path in "${paths[@]}"; do
                     if [ "${path#"$dir"/}" != "$path" ]; then echo "$(stat -c %X "$path") $path"; fi
                 done | sort -n | head -n 3)
    done

    # A second front end on the same node runs the guard (the first one's
    # guard is off), so that it starts only now that the files are in place.
    # Its first run comes after 4 s and the next 4 s later, after the checks
    # below, even on a slow machine: a second run would remove more files.
    "$CN_TESTBED" --front guard "$CN_SPARE_PORT" guard_interval=4 guard_min_free_gb=1 guard_max_files=3
    for i in $(seq 300); do
        [ -f "$CN_AUTODEL" ] && [ "$(wc -l <"$CN_AUTODEL")" -ge ${#expect[@]} ] && break
        sleep 0.05
    done
    # Its metrics count each directory's removals once checkdisk has ended.
    local removed
    for dir in "${dirs[@]}"; do
        removed=$(printf '%s\n' "${expect[@]}" | grep -c "^autodel $dir/" || true)
        wait_until 'curl -s "http://127.0.0.1:$CN_SPARE_PORT/cachenode/metrics" |
            grep -qxF "cachenode_guard_removed_files_total{dir=\"$dir\"} $removed"' ||
            fail "metrics: $dir's removals are not $removed"
    done
    kill "$(cat /node/guard/master.pid)"
    local -a got=()
    mapfile -t got < <(head -n ${#expect[@]} "$CN_AUTODEL" 2>/dev/null |
        sed 's/^.* \(can not autodel .*\)$/\1/; t; s/^.* \(autodel .*\)$/\1/')
    [ "${got[*]}" = "${expect[*]}" ] ||
        fail "eviction log: got [$(printf '%s; ' "${got[@]}")] expected [$(printf '%s; ' "${expect[@]}")]"
    for path in "${paths[@]}"; do
        if printf '%s\n' "${expect[@]}" | grep -x "autodel $path" >/dev/null; then
            [ ! -e "$path" ] || fail "$path was not removed"
        else
            [ -e "$path" ] || fail "$path was removed"
        fi
    done
}

# The front end's series after a known sequence of requests, as promtool reads
# them; PURGE of a cached file, of one not cached and during its download
# (the viewer is cut, nothing is kept); a real Prometheus that scrapes the
# front end and node_exporter, which serves dispatch_listen's textfile,
# answers a hit-ratio query and has the listener's series.
group_metrics() {
    make_file vod/m.mp4 5000
    make_file vod/big.mp4 1000000
    get /vod/m.mp4
    get /vod/m.mp4
    get /vod/m.mp4 -H 'Range: bytes=0-9'
    get /vod/m.mp4 -H 'Host: evil.example'
    get /fail/m.mp4
    scrape() {
        curl -s "http://$CN_FRONT/cachenode/metrics" >/tmp/metrics
    }
    # Each worker hands its request counts over within a second.
    has_all() {
        local want
        scrape
        for want in "$@"; do grep -qxF "cachenode_$want" /tmp/metrics || return 1; done
    }
    local -a wants=('requests_total{result="hit"} 2' 'requests_total{result="miss"} 1'
        'requests_total{result="refused"} 1' 'requests_total{result="failed"} 1'
        'fetches_total{outcome="ok"} 1' 'fetches_total{outcome="failed"} 1'
        'fetched_bytes_total 5000' 'fetch_duration_seconds_count 2' 'purges_total 0')
    wait_until 'has_all "${wants[@]}"' || fail "metrics: not all of ${wants[*]} in
$(grep -v '^#' /tmp/metrics)"
    if command -v promtool >/dev/null; then
        promtool check metrics </tmp/metrics || fail "promtool check metrics: $(promtool check metrics </tmp/metrics 2>&1)"
    fi

    local path status rc
    path=$(cache_path http://node7/vod/m.mp4)
    for want in 200 404; do
        status=$(curl -s -o /dev/null -w '%{http_code}' -X PURGE -H 'Host: node7' "http://$CN_FRONT/vod/m.mp4")
        [ "$status" = $want ] || fail "PURGE: status $status, not $want"
    done
    [ ! -e "$path" ] || fail "PURGE left $path"
    path=$(cache_path http://node7/slow/vod/big.mp4)
    rc=0
    curl -s -o /tmp/viewer -H 'Host: node7' "http://$CN_FRONT/slow/vod/big.mp4" &
    local viewer=$!
    wait_until '[ -s /tmp/viewer ]' || fail "the slow download sent nothing"
    status=$(curl -s -o /dev/null -w '%{http_code}' -X PURGE -H 'Host: node7' "http://$CN_FRONT/slow/vod/big.mp4")
    [ "$status" = 200 ] || fail "PURGE during the download: status $status"
    wait $viewer || rc=$?
    [ $rc = 18 ] || fail "the viewer of a purged download: curl exit $rc, not a cut (18)"
    sleep 0.3
    [ ! -e "$path" ] && [ -z "$(temp_of "$path")" ] || fail "a purged download left a file"
    scrape
    grep -qxF 'cachenode_purges_total 2' /tmp/metrics || fail "metrics: purges_total is not 2"

    # Regression: a file purged between its download's end and nginx serving
    # it gave 404. Viewers and purges of one file for three seconds.
    make_file vod/p.jpg 20000
    local end=$((SECONDS + 3))
    for i in 1 2 3 4; do
        while [ $SECONDS -lt $end ]; do
            # A viewer cut by the purge (curl 18) goes on asking.
            curl -s -o /dev/null -w '%{http_code}\n' -H 'Host: node7' "http://$CN_FRONT/vod/p.jpg" || true
        done >"/tmp/p$i" &
    done
    while [ $SECONDS -lt $end ]; do
        curl -s -o /dev/null -X PURGE -H 'Host: node7' "http://$CN_FRONT/vod/p.jpg"
    done
    wait
    ! grep -qv '^\(200\|503\)$' /tmp/p? || fail "viewers during purges got $(sort /tmp/p? | uniq -c | tr '\n' ' ')"

    command -v prometheus >/dev/null && command -v prometheus-node-exporter >/dev/null ||
        { echo "SKIP: prometheus or prometheus-node-exporter is not installed (tools/bootstrap.sh)"; return; }
    local listen exporter prom
    read -r listen exporter prom < <(python3 -c '
import socket
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0))
t = [socket.socket() for _ in range(2)]
for s in t: s.bind(("127.0.0.1", 0))
print(u.getsockname()[1], *[s.getsockname()[1] for s in t])')
    mkdir -p /tmp/textfile /tmp/prom
    /node/bin/dispatch_listen "127.0.0.1:$listen" --textfile /tmp/textfile >/dev/null &
    prometheus-node-exporter --web.listen-address="127.0.0.1:$exporter" --collector.disable-defaults \
        --collector.textfile --collector.textfile.directory=/tmp/textfile 2>/dev/null &
    cat >/tmp/prom.yml <<YML
global: { scrape_interval: 1s }
scrape_configs:
  - job_name: cachenode
    metrics_path: /cachenode/metrics
    static_configs: [ { targets: ["$CN_FRONT"] } ]
  - job_name: node
    static_configs: [ { targets: ["127.0.0.1:$exporter"] } ]
YML
    prometheus --config.file=/tmp/prom.yml --storage.tsdb.path=/tmp/prom \
        --web.listen-address="127.0.0.1:$prom" >/tmp/prom.log 2>&1 &
    wait_until '[ "$(curl -s -o /dev/null -w %{http_code} http://127.0.0.1:$prom/-/ready)" = 200 ]' ||
        { echo "SKIP: prometheus did not start: $(tail -n 3 /tmp/prom.log)"; return; }
    # A status datagram: 198.51.100.7, status 1, in 3, out 5 (units of 2^20
    # bit/s); sent again on each look, as the listener may not be bound yet.
    datagram() {
        python3 -c 'import socket, struct, sys
socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(
    struct.pack("<7I", 110, 0xC6336407, 1, 3, 5, 0, 0), ("127.0.0.1", int(sys.argv[1])))' "$listen"
    }
    query() {
        curl -s -G "http://127.0.0.1:$prom/api/v1/query" --data-urlencode "query=$1" |
            python3 -c 'import json, sys
r = json.load(sys.stdin)["data"]["result"]
print(r[0]["value"][1] if r else "none")'
    }
    local ratio='sum(rate(cachenode_requests_total{result="hit"}[15s])) / sum(rate(cachenode_requests_total[15s]))'
    have_ratio() {
        get /vod/big.mp4
        sleep 0.2
        local v
        v=$(query "$ratio")
        [[ $v =~ ^[0-9.]+$ ]]
    }
    wait_until have_ratio || fail "Prometheus answers the hit ratio with '$(query "$ratio")'"
    wait_until 'datagram; [ "$(query cachenode_interface_receive_bytes_per_second)" = 393216 ]' ||
        fail "Prometheus has no listener series: '$(query cachenode_interface_receive_bytes_per_second)'"
}

# The front end's FFI declarations of the library are those of cachekit.h:
# both texts without comments, CACHEKIT_API and spacing, one declaration per
# export, compared.
group_ffi() {
    local src=$1 probe=$2
    local header=$src/cachekit/include/cachekit.h lua=$src/frontend/cachenode.lua
    local names='fileExist|md5data|md5file|uri2d|checkdisk|getmsgip'
    declarations() {
        sed '/^[[:space:]]*#/d; s|/\*.*\*/||g; s|--.*||' | tr '\n' ' ' | sed 's|/\*[^*]*\*\+\([^/*][^*]*\*\+\)*/||g' |
            tr ';' '\n' | sed 's/.*[][{}]//; s/CACHEKIT_API//; s/[[:space:]]\+/ /g; s/ *\([*(),]\) */\1/g; s/^ //; s/ $//' |
            grep -E "^[a-z ]+\**($names)\(" | sort
    }
    local want got
    want=$(declarations <"$header")
    got=$(sed -n '/^ffi.cdef\[\[/,/^\]\]/p' "$lua" | declarations)
    [ "$(echo "$want" | wc -l)" = 6 ] || fail "found $(echo "$want" | wc -l) declarations in $header"
    [ "$want" = "$got" ] || fail "cachenode.lua declares
$got
but cachekit.h
$want"

    # The numbers the Lua keeps for the C side, as LuaJIT sees them, against
    # the headers': nginx runs sys_print.lua from init_by_lua and exits there.
    # Regression: the fetch dictionary full of expired entries behind a
    # claim without time-out (fetch_dict.lua) in the same run.
    command -v nginx >/dev/null && [ -f /usr/lib/nginx/modules/ngx_http_lua_module.so ] ||
        { echo "SKIP: nginx with its Lua module is not installed"; exit 77; }
    local tmp
    tmp=$(mktemp -d)
    mkdir "$tmp/logs"
    cat >"$tmp/nginx.conf" <<CONF
load_module /usr/lib/nginx/modules/ndk_http_module.so;
load_module /usr/lib/nginx/modules/ngx_http_lua_module.so;
pid $tmp/nginx.pid;
events {}
http {
    lua_package_path "$src/frontend/?.lua;;";
    lua_shared_dict cachenode_fetch 64k;
    init_by_lua_block {
        assert(loadfile("$HERE/sys_print.lua"))("$tmp/lua.txt")
        assert(loadfile("$HERE/fetch_dict.lua"))()
        os.exit(0)
    }
}
CONF
    nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/logs/error.log" -g 'daemon off;' ||
        fail "nginx with sys_print.lua and fetch_dict.lua failed: $(cat "$tmp/logs/error.log")"
    local diffs
    diffs=$(diff <("$probe" | sort) "$tmp/lua.txt") ||
        fail "the Lua's numbers differ from the C headers' (< C, > Lua):
$diffs"
    rm -rf "$tmp"
}

# ---------------------------------------------------------------- main
if [ "${1:-}" = --in ]; then
    "group_$2"
    exit $FAILED
fi

group=${1:?usage: frontend_test.sh GROUP FETCHWRAP LIBRARY CACHEKIT_CLI DISPATCH_LISTEN}
if [ "$group" = ffi ]; then
    group_ffi "${2:?source directory}" "${3:?sys_probe}"
    exit $FAILED
fi
declare -A options=(
    [metrics]="--extra $5"
    [evict]="--dirs 2 --cache-size 16m"
)
[ -n "${options[$group]+set}" ] || { echo "unknown group $group" >&2; exit 2; }
# shellcheck disable=SC2086 # the options are words
exec "$HERE/../../tools/testbed/testbed" --fetchwrap "$2" --lib "$3" --cli "$4" \
    --knob 'hosts=node7|other.example' ${options[$group]} -- "$HERE/frontend_test.sh" --in "$group"
