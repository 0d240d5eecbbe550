#!/usr/bin/env bash
# The main job: set up, build, and run veltra-ping, which prints the
# library's version and pings a register (default 127.0.0.1).
# Usage: bash scripts/run.sh [host [seconds]]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec build/default/tools/veltra-ping "$@"
