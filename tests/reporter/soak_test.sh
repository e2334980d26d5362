#!/bin/bash
# Soak of vesko_c under its supervisor: "intervalrp" 0 against a stand-in
# dispatch server on 127.0.0.1, inside a private network namespace whose ten
# veth interfaces carry documentation addresses (192.0.2.0/24, which the
# reporter counts as public). The worker is killed with SIGKILL every few
# seconds. Open descriptors and VmRSS of supervisor and worker must stay flat,
# and the log, started as a sparse file just below its 20,000,000-byte limit,
# must be emptied once it passes it.
#   soak_test.sh VESKO_C [SECONDS]        exit 77 = skipped
set -uo pipefail
VESKO=$1
SOAK=${2:-${SOAK_SECONDS:-75}}
LIMIT=20000000

if [ -z "${SOAK_IN_NETNS:-}" ]; then
    [ "$(id -u)" = 0 ] || { echo "SKIP: needs root for a network namespace"; exit 77; }
    SOAK_IN_NETNS=1 exec unshare -n -- "$0" "$@"
    echo "SKIP: unshare -n failed"; exit 77
fi

fail() { echo "FAIL: $*"; exit 1; }
ip link set lo up || { echo "SKIP: no loopback in the namespace"; exit 77; }
# Five veth pairs make the ten interfaces (no dummy driver needed).
for i in 0 1 2 3 4; do
    ip link add va$i type veth peer name vb$i || { echo "SKIP: cannot make veth pairs"; exit 77; }
    for side in a b; do
        n=$((10 + 2 * i)); [ $side = b ] && n=$((n + 1))
        ip addr add 192.0.2.$n/24 dev v$side$i && ip link set v$side$i up ||
            { echo "SKIP: cannot address v$side$i"; exit 77; }
    done
done

WORK=$(mktemp -d /tmp/vesko-soak.XXXXXX)
SUP=""; SRV=""
cleanup() {
    # Stop the supervisor first: once it is gone its worker is orphaned and no
    # longer found by parent, and while it runs it forks a new one a second later.
    if [ -n "$SUP" ]; then
        kill -STOP "$SUP" 2>/dev/null
        pkill -9 -P "$SUP" 2>/dev/null || true
        kill -9 "$SUP" 2>/dev/null
    fi
    [ -n "$SRV" ] && kill "$SRV" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
cp "$VESKO" "$WORK/vesko_c"
LOG=$WORK/vesko_c.log
truncate -s $((LIMIT - 2000)) "$LOG"

# The stand-in dispatch server counts the 28-byte datagrams it receives.
cat >"$WORK/server.py" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
n = bad = 0
while True:
    data = s.recv(2048)
    n += 1
    bad += len(data) != 28
    with open(sys.argv[1], "w") as f:
        f.write("%d %d\n" % (n, bad))
PY
python3 "$WORK/server.py" "$WORK/count" >"$WORK/port" &
SRV=$!
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.1; done
PORT=$(cat "$WORK/port")
[ -n "$PORT" ] || fail "the stand-in server did not start"
printf '[config]\nservers=127.0.0.1:%s\nintervalbw=0\nintervalrp=0\n' "$PORT" >"$WORK/vesko.ini"

"$WORK/vesko_c" -c "$WORK/vesko.ini" >/dev/null 2>"$WORK/stderr" &
SUP=$!

worker() { pgrep -P "$SUP" | head -1; }
# Descriptors held: the fewest of five looks 50 ms apart, so that a file the
# process has open for a moment (its counters, the log) is not taken for one
# it kept. A leak stays in every look.
fds() {
    local i n least=
    for i in 1 2 3 4 5; do
        n=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
        if [ -z "$least" ] || [ "$n" -lt "$least" ]; then least=$n; fi
        sleep 0.05
    done
    echo "$least"
}
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
# Sample with the worker settled (not in its first seconds after a restart).
sample() {
    local w; w=$(worker)
    [ -n "$w" ] || fail "no worker under the supervisor"
    echo "$(fds "$SUP") $(rss "$SUP") $(fds "$w") $(rss "$w")"
}

sleep 4
kill -0 "$SUP" 2>/dev/null || fail "vesko_c ended: $(cat "$WORK/stderr")"
read -r F0S R0S F0W R0W <<<"$(sample)"
echo "start: supervisor fd=$F0S rss=${R0S}kB, worker fd=$F0W rss=${R0W}kB"
EMPTIED=no
START=$(date +%s)
KILLS=0
MAXRS=$R0S; MAXRW=$R0W
while [ $(($(date +%s) - START)) -lt "$SOAK" ]; do
    sleep 4
    size=$(stat -c %s "$LOG")
    [ "$size" -lt $((LIMIT - 2000)) ] && EMPTIED=yes
    read -r FS RS FW RW <<<"$(sample)"
    [ "$FS" = "$F0S" ] || fail "supervisor descriptors $F0S -> $FS"
    [ "$FW" = "$F0W" ] || fail "worker descriptors $F0W -> $FW"
    [ "$RS" -gt "$MAXRS" ] && MAXRS=$RS
    [ "$RW" -gt "$MAXRW" ] && MAXRW=$RW
    kill -9 "$(worker)"; KILLS=$((KILLS + 1))
    sleep 2  # the supervisor waits one second before the next worker
done
read -r FS RS FW RW <<<"$(sample)"
LINES=$(wc -l <"$LOG")
read -r NSENT NBAD <"$WORK/count" || true
echo "end: supervisor fd=$FS rss=${RS}kB (max $MAXRS), worker fd=$FW rss=${RW}kB (max $MAXRW)"
echo "worker kills: $KILLS, log lines since emptied: $LINES, datagrams received: ${NSENT:-0} (${NBAD:-0} not 28 bytes)"
[ "$EMPTIED" = yes ] || fail "the log was not emptied past $LIMIT bytes"
[ "${NSENT:-0}" -gt 0 ] || fail "no datagram reached the stand-in server"
[ "${NBAD:-0}" = 0 ] || fail "datagrams of the wrong size"
# Resident memory may wobble by a page or two; growth with the writes would not be small.
[ $((MAXRS - R0S)) -le 1024 ] || fail "supervisor VmRSS grew ${R0S} -> ${MAXRS} kB"
[ $((MAXRW - R0W)) -le 1024 ] || fail "worker VmRSS grew ${R0W} -> ${MAXRW} kB"
grep -q . "$LOG" || fail "nothing logged after the log was emptied"
echo "PASS"
