#!/usr/bin/env bash
# Set up, build and run every test. Usage: bash scripts/test.sh [preset]
# (preset "default" unless named; "asan" runs the same suite under the
# address and undefined-behaviour sanitizers). The browser group brings
# chromium for the test of the service's page.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/setup.sh browser
cmake --preset "$preset" >/dev/null
t0=$SECONDS
cmake --build --preset "$preset"
t1=$SECONDS
ctest --preset "$preset"
awk -v b=$((t1 - t0)) -v t=$((SECONDS - t1)) -v p="$preset" \
    'BEGIN{printf "test.sh %s: build %.1f min, tests %.1f min\n", p, b/60, t/60}'
