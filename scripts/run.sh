#!/usr/bin/env bash
# The main job: set up, build the veltra tool, and run `veltra demo`, which
# starts a simulated register on free loopback ports and tours the library
# against it. The files it makes stay in DIR (default ./veltra-demo).
# Usage: bash scripts/run.sh [DIR] [--fault FAULT ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target veltra_tool
exec build/default/tools/veltra/veltra demo "$@"
