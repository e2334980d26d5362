#!/bin/bash
# Soak of the whole node in its sandbox (tools/testbed/testbed): a few
# hundred viewers over a skewed popularity, a worker killed with -9 every 20 s,
# a reload every 30 s, purges of popular URLs and a disk guard that evicts on
# every run (a cache tmpfs far below guard_min_free_gb), every body checked
# against the origin's MD5 through libcachekit (tools/soak/node_soak.py).
#
#   soak_node.sh [--seconds N] [--viewers N] [--seed S]
#                [--fetchwrap P] [--lib P] [--cli P]
#
# Default 600 s of load. The programs default to the build/ tree. Exit status
# 0 when every figure that must be 0 is, 1 when not, 77 when the machine cannot
# host the sandbox.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)

if [ "${1:-}" = --in ]; then
    shift
    # A library built with AddressSanitizer needs its runtime loaded first,
    # in the driver as in nginx.
    if [ -n "${TB_PRELOAD:-}" ]; then
        export LD_PRELOAD=$TB_PRELOAD ASAN_OPTIONS=detect_leaks=0
    fi
    exec /usr/bin/python3 -B "$HERE/soak/node_soak.py" "$@"
fi

# Every guard run removes files, as the tmpfs is always below 1 GiB free. It
# removes only a few a second (each removal walks the sandbox with find),
# far fewer than the first misses bring, so the tmpfs is about the size of
# all the URLs' files (some 330 MB): it runs near full, now and then full.
CACHE_SIZE=320m
GUARD_MAX_FILES=10
IDLE=3
testbed=()
driver=()
while [ $# -gt 0 ]; do
    case $1 in
        --seconds | --viewers | --seed) driver+=("$1" "$2"); shift 2 ;;
        --fetchwrap | --lib | --cli) testbed+=("$1" "$2"); shift 2 ;;
        *) echo "soak_node.sh: unknown option $1 (see the head of $0)" >&2; exit 2 ;;
    esac
done
# The real MP4s that make ?start= meaningful.
for tool in ffmpeg ffprobe; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
# Every viewer comes from 127.0.0.1: the crowd of a whole region behind one
# address, which the per-address limits are not for (client_conns 65535, the
# most nginx takes; client_misses off).
CLIENT_CONNS=65535
echo "soak_node: cache tmpfs $CACHE_SIZE in 3 directories, guard every 1 s removing up to" \
    "$GUARD_MAX_FILES files a directory, fetch_idle_timeout $IDLE s"
exec "$HERE/testbed/testbed" "${testbed[@]}" --dirs 3 --cache-size "$CACHE_SIZE" \
    --knob hosts=soak.example --knob guard_interval=1 --knob guard_min_free_gb=1 \
    --knob guard_max_files="$GUARD_MAX_FILES" --knob fetch_idle_timeout="$IDLE" \
    --knob client_conns="$CLIENT_CONNS" --knob client_misses=0 \
    -- "$HERE/soak_node.sh" --in "${driver[@]}"
