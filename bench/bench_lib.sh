# The front end benchmarks' shared pieces, sourced inside the node sandbox
# (tools/testbed/testbed) by frontend_bench.sh and tls_bench.sh: starting and
# stopping an nginx of the sandbox, free ports, medians, ratios, verdicts, a
# stock nginx configuration, the cached files of the HIT runs, warming and
# measuring them, fresh names at the origin and a run's closing line. HOST
# names the site the files belong to.

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

# $1 free ports on 127.0.0.1, as the testbed picks its own.
free_ports() {
    python3 -c '
import socket, sys
socks = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in socks: s.bind(("127.0.0.1", 0))
print(*[s.getsockname()[1] for s in socks])' "$1"
}

median() {
    sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# Median of column $2 of file $1.
column_median() {
    awk -v c="$2" '{print $c}' "$1" | median
}

# $1 / $2.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {print a / b}'
}

# Prints "met" when the awk condition $1 holds, else "MISSED".
verdict() {
    awk "BEGIN {exit !($1)}" && echo met || echo MISSED
}

# A stock nginx of prefix /node/$1 on port $2, one worker, no access log:
# $3 goes into http {}, $4 into its server {}.
stock_conf() {
    mkdir -p "/node/$1/logs" "/node/$1/run"
    cat >"/node/$1/nginx.conf" <<CONF
user $TB_USER;
worker_processes 1;
pid run/nginx.pid;
error_log logs/error.log notice;
events { worker_connections 4096; }
http {
    access_log off;
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    client_body_temp_path run/body;
    proxy_temp_path run/proxy;
    fastcgi_temp_path run/fastcgi;
    uwsgi_temp_path run/uwsgi;
    scgi_temp_path run/scgi;
$3
    server {
        listen 127.0.0.1:$2;
$4
    }
}
CONF
}

# Puts $2 files of size $1 at the origin and at the paths uri2d gives them
# among the cache directories, and writes the request paths for the front end
# and proxy_cache (/tmp/front.paths) and for plain nginx (/tmp/plain.paths).
place_files() {
    mkdir -p "$CN_FILES/vod/$1"
    local i
    for i in $(seq "$2"); do
        head -c "$1" /dev/urandom >"$CN_FILES/vod/$1/f$i.mp4"
    done
    seq "$2" | xargs -P 4 -I{} sh -c '
        path=$("$0" --lib "$1" uri "http://$2/vod/$3/f{}.mp4" "$4")
        mkdir -p "$(dirname "$path")" && cp "$5/vod/$3/f{}.mp4" "$path" && echo "$path"
    ' "$CN_CLI" "$CN_LIB" "$HOST" "$1" "$CN_DIRS" "$CN_FILES" | sed 's|^/node/cache/|/plain/|' \
        >/tmp/plain.paths
    chown -R "$TB_USER" /node/cache
    seq "$2" | sed "s|.*|/vod/$1/f&.mp4|" >/tmp/front.paths
}

# Asks port $1 once for every path of file $2 and prints how many answers
# had header $3 saying HIT.
hits() {
    local path n=0
    while read -r path; do
        [ "$(curl -s -o /dev/null -w "%header{$3}" -H "Host: $HOST" "http://127.0.0.1:$1$path")" = HIT ] &&
            n=$((n + 1))
    done <"$2"
    echo "$n"
}

# Warms port $1 with one request per path of file $2, then checks that each
# path is now a HIT by header $3.
warm() {
    hits "$1" "$2" "$3" >/dev/null
    local n
    n=$(hits "$1" "$2" "$3")
    [ "$n" = "$(wc -l <"$2")" ] ||
        echo "$(basename "$0"): only $n of $(wc -l <"$2") paths are HITs on port $1 after warming" >&2
}

# wrk against base URL $1 with the paths of file $2 (and, given $3, that
# Origin); prints requests/s. One wrk thread and one nginx worker: each has a
# core of its own on a two-core machine.
wrk_rate() {
    local out
    out=$(wrk -t1 -c16 -d"${SECONDS_PER_RUN}s" -s "$HERE/frontend_bench.lua" "$1" -- "$2" "$HOST" ${3:+"$3"})
    if grep -q 'Non-2xx' <<<"$out"; then
        echo "$(basename "$0"): answers other than 2xx from $1 for $2:" >&2
        grep 'Non-2xx' <<<"$out" >&2
    fi
    awk '/^Requests\/sec:/ {printf "%.0f", $2}' <<<"$out"
}

# A new name at the origin for the file /tmp/$1 (a hard link), tagged $2:
# vod/NAME, printed.
fresh_name() {
    local name=miss-$2-$1
    ln "/tmp/$1" "$CN_FILES/vod/$name"
    echo "vod/$name"
}

# The machine's one-minute load average: the figures of a run on a busy
# machine are noisier, and ratios hold better than rates.
load() {
    cut -d' ' -f1 /proc/loadavg
}

# A run's closing line: its seconds since $EPOCHREALTIME $1 and the load
# average, $2 at the start.
run_footer() {
    echo "($(awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f", b - a}') s;" \
        "load average $2 at the start, $(load) at the end)"
}
