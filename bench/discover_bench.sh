#!/usr/bin/env bash
# veltra discover over loopback ranges: a /24 where nobody answers (the
# target is 10 s at most), a /22 where nobody answers, and a /24 with five
# ecrsim registers of distinct serial numbers, which must all be listed.
# Usage: bash bench/discover_bench.sh [build-dir]
set -euo pipefail
build=${1:-build/default}
veltra="$build/tools/veltra/veltra"
ecrsim="$build/sim/ecrsim"
[ -x "$veltra" ] && [ -x "$ecrsim" ] || { echo "build the default preset first"; exit 2; }

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; rm -rf "$work"' EXIT
port=$((20000 + RANDOM % 20000))
export ECR_TFTP_PORT=$port

timed() {
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > "$work/out"
    t1=$(date +%s.%N)
    printf '%-40s %6.2f s  %s\n' "${*: -1}" "$(echo "$t1 - $t0" | bc)" "$(tail -1 "$work/out")"
}

echo "veltra discover, 128 addresses at a time, 2 s each:"
timed "$veltra" discover 127.0.1.0/24
timed "$veltra" discover 127.0.4.0/22

for i in 11 23 37 101 202; do
    "$ecrsim" --address "127.0.2.$i" --state "$work/reg$i" --tftp-port "$port" \
        --matricola "BENCH000$i" > "$work/ecrsim$i.log" 2>&1 &
    pids+=($!)
done
sleep 1
timed "$veltra" discover 127.0.2.0/24
