#!/bin/bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for
# SECONDS (default 60), one after the other, on a copy of its seed corpus plus
# what earlier runs found (build-fuzz/fuzz-corpus/<target>). A crash input lands
# in build-fuzz/fuzz-crashes/<target>/; copy it into fuzz/crashes/<target>/ with
# the fix so that CTest replays it from then on.
#   tools/fuzz.sh [SECONDS] [TARGET...]
# FUZZ_RUNS=N stops each target after N executions if that comes first (a
# campaign: FUZZ_RUNS=1000000 tools/fuzz.sh 7200).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
shift || true
BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ not found; the fuzz targets need clang" >&2
    exit 77
fi
cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      -DNODE_BUILD_FUZZ=ON -DNODE_BUILD_TESTS=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for d in fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi
# token is fuzzed through the Lua harness, below; the rest are libFuzzer's.
lua_token=
for i in "${!targets[@]}"; do
    [ "${targets[i]}" != token ] || { lua_token=1; unset 'targets[i]'; }
done
targets=("${targets[@]}")
[ ${#targets[@]} -eq 0 ] || cmake --build "$BUILD" -j2 --target "${targets[@]/%/_fuzz}" >/dev/null
status=0
for t in "${targets[@]}"; do
    corpus=$BUILD/fuzz-corpus/$t
    crashes=$BUILD/fuzz-crashes/$t
    mkdir -p "$corpus" "$crashes"
    log=$BUILD/fuzz-$t.log
    if "$BUILD/fuzz/${t}_fuzz" -max_total_time="$SECONDS_EACH" -runs="${FUZZ_RUNS:--1}" -print_final_stats=1 \
           -artifact_prefix="$crashes/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
        verdict=ok
    else
        verdict="FAILED (see $log and $crashes)"
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    printf '%-12s %10s runs  %-10s %s\n' "$t" "${execs:-?}" "${cov:-cov: ?}" "$verdict"
done
# The signed URLs' token check is Lua, fuzzed through the Lua tests' harness
# in a plain nginx (no libFuzzer); a new seed each run, printed with it.
if [ -n "$lua_token" ]; then
    lua=tests/frontend/lua
    if out=$("$lua/run.sh" "$PWD" "$lua/token_fuzz_test.lua" "$lua/mint_tokens.py" fuzz/corpus/token \
                 fuzz/crashes/token "${FUZZ_RUNS:-100000000}" "$SECONDS_EACH" "$RANDOM$RANDOM" 2>&1); then
        verdict=ok
    else
        verdict=FAILED
        status=1
    fi
    printf '%-12s %s  %s\n' token "$(grep '^token fuzz:' <<<"$out" | cut -c13-)" "$verdict"
    [ "$verdict" = ok ] || echo "$out" | grep FAIL | head -5
fi
exit $status
