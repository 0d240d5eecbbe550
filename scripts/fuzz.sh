#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan and UBSan) and runs every
# fuzz_* target for the given seconds each (30 unless named), starting from
# its seed corpus in fuzz/corpus/<name>/. Fails on the first crash; the
# input that crashed is left in build/fuzz/artifacts/. Targets run side by
# side, one per core (FUZZ_JOBS to choose), each for its full time; a
# target's output is in build/fuzz/logs/<name>.log and printed when it fails.
# Usage: bash scripts/fuzz.sh [seconds] [name...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers
out=build/fuzz
mkdir -p "$out/artifacts"
if [ $# -gt 0 ]; then
    names=("$@")
else
    names=()
    for dir in fuzz/corpus/*/; do names+=("$(basename "$dir")"); done
fi
mkdir -p "$out/logs"
jobs=${FUZZ_JOBS:-$(nproc)}
run_one() {
    local name=$1 work="$out/corpus/$1"  # what the run finds; the seeds in git stay as they are
    mkdir -p "$work"
    if "$out/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/${name}-" "$work" "fuzz/corpus/$name" \
        >"$out/logs/$name.log" 2>&1; then
        echo "== fuzz_$name: $seconds s, $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' \
            "$out/logs/$name.log" | grep -o '[0-9]*$') runs, no crash"
    else
        cat "$out/logs/$name.log"
        echo "== fuzz_$name FAILED: the input is in $out/artifacts/" >&2
        return 1
    fi
}
failed=0
running=0
for name in "${names[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    run_one "$name" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
[ "$failed" -eq 0 ] || { echo "fuzz: a target crashed (see above)" >&2; exit 1; }
echo "fuzz: ${#names[@]} targets ran ${seconds} s each without a crash"
