#!/bin/bash
# The node at work. The cache node: an origin nginx, the front end (nginx with
# frontend/cachenode.lua, over plain HTTP and over HTTPS with a certificate made on the
# spot) serving cache directories on a tmpfs, fetchwrap with the stand-in
# kelpclient for misses and the disk guard, all in a private mount and PID namespace
# (tools/testbed/testbed runs tools/demo/node.sh there, which makes the requests). The
# reporter: vesko_c with tools/demo/vesko_c.ini sends its status datagrams to dispatch_listen
# on 127.0.0.1:1234, which prints each one decoded. When the machine has no public IPv4
# address (the reporter ignores private ones), or with --netns, both run in a private network
# namespace whose veth end carries 198.51.100.7, with the peer in a second namespace and
# traffic sent across. Runs until Ctrl-C, then removes what it made.
set -euo pipefail
cd "$(dirname "$0")/.."

./tools/bootstrap.sh

BIN=$PWD/build/reporter/vesko_c
LISTEN=$PWD/build/listener/dispatch_listen
CONF=$PWD/tools/demo/vesko_c.ini

# Same ranges as the reporter's own test: 10/8, 172.16/12, 192.168/16 and 127.0.0.1.
is_private() {
    local a b c d
    IFS=. read -r a b c d <<<"$1"
    [ "$a" = 10 ] || { [ "$a" = 172 ] && [ "$b" -ge 16 ] && [ "$b" -le 31 ]; } ||
        { [ "$a" = 192 ] && [ "$b" = 168 ]; } || [ "$1" = 127.0.0.1 ]
}

use_netns=0
[ "${1:-}" = --netns ] && use_netns=1
if [ $use_netns = 0 ]; then
    use_netns=1
    for addr in $(ip -4 -o addr show | awk '{split($4, a, "/"); print a[1]}'); do
        is_private "$addr" || use_netns=0
    done
fi

NS=vesko-demo-$$
PEER=vesko-demo-peer-$$
pids=()
groups=()
reporter=""
node=""
made_ns=0

cleanup() {
    # A second Ctrl-C must not cut the clean-up short.
    trap - EXIT
    trap '' INT TERM
    # The reporter runs in a session of its own: its group holds supervisor and worker.
    [ -n "$reporter" ] && kill -KILL -- "-$reporter" 2>/dev/null || true
    # The node's sandbox ends with its namespaces; the script then removes its mount point.
    [ -n "$node" ] && kill -TERM "$node" 2>/dev/null && wait "$node" 2>/dev/null || true
    for pgid in "${groups[@]}"; do kill -KILL -- "-$pgid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    if [ $made_ns = 1 ]; then
        for ns in "$NS" "$PEER"; do
            for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
            ip netns del "$ns" 2>/dev/null || true
        done
    fi
    wait 2>/dev/null || true
    local what="its processes and the node's sandbox"
    [ $made_ns = 1 ] && what="its processes, the node's sandbox and both network namespaces"
    echo "demo: stopped and removed $what. The reporter's log stays in $BIN.log"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# `run CMD &` forks a subshell for the function: exec makes that subshell the
# command itself, so that $! is the program that cleanup stops.
run() { exec "$@"; }
if [ $use_netns = 1 ]; then
    echo "demo: this machine has no public IPv4 address (or --netns was given), so the demo runs"
    echo "demo: in a private network namespace $NS: veth end vdemo0 198.51.100.7/24 there, its peer"
    echo "demo: vdemo1 198.51.100.8/24 in namespace $PEER; bursts of UDP traffic cross the veth."
    ip netns add "$NS"
    made_ns=1
    ip netns add "$PEER"
    ip -n "$NS" link set lo up
    ip -n "$PEER" link set lo up
    ip link add vdemo0 netns "$NS" type veth peer name vdemo1 netns "$PEER"
    ip -n "$NS" addr add 198.51.100.7/24 dev vdemo0
    ip -n "$PEER" addr add 198.51.100.8/24 dev vdemo1
    ip -n "$NS" link set vdemo0 up
    ip -n "$PEER" link set vdemo1 up
    run() { exec ip netns exec "$NS" "$@"; }
else
    echo "demo: the reporter reports this machine's own public interfaces and sends only to"
    echo "demo: 127.0.0.1; it generates no traffic (run with --netns for the namespace demo)."
fi

echo "demo: dispatch listener on 127.0.0.1:1234, reporter: $BIN -c $CONF"
echo "demo: first report in about three seconds, then one every three; Ctrl-C to stop."
run "$LISTEN" 127.0.0.1:1234 > >(sed -u 's/^/listener | /') &
pids+=($!)
sleep 0.3
# setsid: not a group leader here, so it starts no extra process; the reporter's pid
# is its group's id. Same for the traffic loop below.
run setsid "$BIN" -c "$CONF" > >(sed -u 's/^/vesko_c  | /') 2>&1 &
reporter=$!

echo "demo: the cache node starts in a sandbox of its own (private mount and PID namespace):"
echo "demo: nothing is written to a real cache directory or under /usr/local."
guard=12 cache_mib=64 threshold=1
tools/testbed/testbed --dirs 3 --cache-size ${cache_mib}m --knob hosts=demo.example --tls \
    --knob guard_interval=$guard \
    --knob guard_min_free_gb=$threshold --knob guard_max_files=1 \
    -- tools/demo/node.sh $guard $cache_mib $threshold > >(sed -u 's/^/node     | /') 2>&1 &
node=$!

if [ $use_netns = 1 ]; then
    # Every 3 s a burst to the discard port: 21 MB out of the node, then 10 MB into it.
    blast='import socket,sys
s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); b=bytes(1400)
for _ in range(int(sys.argv[2])): s.sendto(b,(sys.argv[1],9))'
    # The loop also ends on its own once the demo has gone.
    traffic='while kill -0 "$4" 2>/dev/null && sleep 3; do
            ip netns exec "$1" python3 -c "$3" 198.51.100.8 15000 2>/dev/null || true
            echo "traffic  | sent 21 MB from 198.51.100.7 to the peer"
            sleep 3
            ip netns exec "$2" python3 -c "$3" 198.51.100.7 7500 2>/dev/null || true
            echo "traffic  | sent 10 MB from the peer to 198.51.100.7"
        done'
    setsid bash -c "$traffic" traffic "$NS" "$PEER" "$blast" $$ &
    groups+=($!)
    disown $!
fi

wait "$reporter"
