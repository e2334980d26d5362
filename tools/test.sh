#!/bin/bash
# The whole test suite, set-up included (fresh Debian machine, as root).
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/bootstrap.sh
./tools/format.sh --check
ctest --test-dir build --output-on-failure --timeout 600

# The same suite built with AddressSanitizer and UBSan: any report fails the run,
# LeakSanitizer included.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNODE_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan --output-on-failure --timeout 600

# A short run of every fuzz target (clang only).
if command -v clang++ >/dev/null; then
    ./tools/fuzz.sh "${FUZZ_SECONDS:-5}"
fi
