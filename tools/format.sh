#!/bin/bash
# clang-format over every C and C++ source the project tracks.
#   tools/format.sh          rewrite the files in place
#   tools/format.sh --check  list the files that differ and fail if there are any
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.c' '*.cc' '*.h' '*.inc')
if [ "${1:-}" = --check ]; then
    bad=()
    for f in "${files[@]}"; do
        clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
    done
    if [ "${#bad[@]}" -gt 0 ]; then
        printf 'not clang-formatted (run tools/format.sh):\n' >&2
        printf '  %s\n' "${bad[@]}" >&2
        exit 1
    fi
else
    clang-format -i "${files[@]}"
fi
