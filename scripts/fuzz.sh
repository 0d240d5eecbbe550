#!/usr/bin/env bash
# Builds the fuzz preset (clang, libFuzzer, ASan and UBSan) and runs every
# fuzz_* target for the given seconds each (30 unless named), starting from
# its seed corpus in fuzz/corpus/<name>/. Fails on the first crash; the
# input that crashed is left in build/fuzz/artifacts/.
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
for name in "${names[@]}"; do
    work="$out/corpus/$name"  # what the run finds; the seeds in git stay as they are
    mkdir -p "$work"
    echo "== fuzz_$name: $seconds s"
    "$out/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/${name}-" "$work" "fuzz/corpus/$name"
done
echo "fuzz: ${#names[@]} targets ran ${seconds} s each without a crash"
