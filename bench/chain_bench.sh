#!/usr/bin/env bash
# The chain's queue draining (chain_bench) on a PostgreSQL server of its
# own (bench/private_postgres.sh).
# Usage: bash bench/chain_bench.sh [build-dir]
set -euo pipefail
build=${1:-build/default}
bench="$build/bench/chain_bench"
[ -x "$bench" ] || { echo "build the default preset first (needs libpq-dev)"; exit 2; }
. "$(dirname "$0")/private_postgres.sh"
"$bench" "$conninfo"
