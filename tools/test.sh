#!/bin/bash
# The whole test suite, set-up included (fresh Debian machine, as root).
set -euo pipefail
cd "$(dirname "$0")/.."
./tools/bootstrap.sh
ctest --test-dir build --output-on-failure --timeout 600
