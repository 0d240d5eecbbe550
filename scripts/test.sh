#!/usr/bin/env bash
# Set up, build and run every test. Usage: bash scripts/test.sh [preset]
# (preset "default" unless named; "asan" runs the same suite under the
# address and undefined-behaviour sanitizers).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
bash scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
