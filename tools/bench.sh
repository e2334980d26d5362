#!/bin/bash
# Builds the benchmarks in an optimised tree (build-bench/) and runs every one.
# Extra arguments go to CMake (for instance -DCMAKE_CXX_COMPILER=clang++).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DNODE_BUILD_BENCH=ON -DNODE_BUILD_TESTS=OFF "$@" >/dev/null
cmake --build build-bench -j"$(nproc)"
for bench in build-bench/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench"
done
# The front end against plain nginx (root: it runs in the node sandbox).
echo "== bench_frontend"
bench/frontend_bench.sh build-bench || [ $? = 77 ]
# Where a HIT's time goes, in instructions under callgrind (no root).
echo "== bench_hit_profile"
bench/hit_profile.py build-bench || [ $? = 77 ]
# The memory the front end's memo takes per entry (root, node sandbox too).
echo "== bench_frontend_memo"
bench/frontend_memo.sh build-bench || [ $? = 77 ]
# HTTPS and HTTP/2 against plain nginx with the same TLS settings (root, node
# sandbox with --tls).
echo "== bench_tls"
bench/tls_bench.sh build-bench || [ $? = 77 ]
# A fleet behind the balancer against one node, and the balancer's cost (root,
# node sandbox, HAProxy).
echo "== bench_balancer"
bench/balancer_bench.py build-bench || [ $? = 77 ]
# A viewer's first byte while one hostile client attacks the node, against
# the same without attack (root, node sandbox).
echo "== bench_hostile"
bench/hostile_bench.py build-bench || [ $? = 77 ]
# Signed HITs against plain nginx's secure_link and unsigned ones, and a
# flood of bad tokens (root, node sandbox, python3-jwt).
echo "== bench_signing"
bench/signing_bench.sh build-bench || [ $? = 77 ]
# HITs of a catalogue larger than the page cache on loop-mounted disks,
# against plain nginx with and without a thread pool, and a disk taken out
# (root, loop devices, a memory cgroup, a few GB on /var/tmp).
echo "== bench_disk"
bench/disk_bench.py build-bench || [ $? = 77 ]
