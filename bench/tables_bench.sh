#!/usr/bin/env bash
# The article table both ways without the network: ecr_conv_plu_csv of a full
# 100,000-record PLU.BIN, and the table build of ecr_send_plu from a
# 100,000-line CSV. Prints the median seconds of RUNS runs (default 9) and
# the largest peak resident memory of a run, and the conversion's time as a
# share of the Python reference converter's (plu_csv_reference.py, run right
# after it; its CSV must be the same).
# Usage: bash bench/tables_bench.sh [build-dir] [runs]
set -euo pipefail
build=${1:-build/default}
runs=${2:-9}
tool="$build/bench/tables_bench"
[ -x "$tool" ] || { echo "build it first: cmake --build $build --target tables_bench"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" make-plu "$work/PLU.BIN"
"$tool" make-csv "$work/in.csv"

bench() {
    local label=$1; shift
    local times=() peak=0
    for _ in $(seq "$runs"); do
        rm -f "${@: -1}"  # a fresh file each run, not a truncated one
        out=$(/usr/bin/time -f "%M" "$@" 2>"$work/mem")
        times+=("${out%% *}")
        kb=$(tail -1 "$work/mem")
        [ "$kb" -gt "$peak" ] && peak=$kb
    done
    med=$(printf '%s\n' "${times[@]}" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    printf '%-44s median %s s   peak %d KiB\n' "$label" "$med" "$peak"
    last_median=$med
}

reference="$(dirname "$0")/plu_csv_reference.py"
bench "ecr_conv_plu_csv, 100000 records" "$tool" conv "$work/PLU.BIN" "$work/out.csv"
conv=$last_median
bench "Python reference converter, 100000 records" python3 "$reference" "$work/PLU.BIN" \
    "$work/ref.csv"
ref=$last_median
cmp -s "$work/out.csv" "$work/ref.csv" || { echo "the two CSV files differ"; exit 1; }
awk -v c="$conv" -v r="$ref" 'BEGIN { printf "ecr_conv_plu_csv / reference: %.3f\n", c / r }'
bench "ecr_send_plu table build, 100000 lines" "$tool" build "$work/in.csv" "$work/BUILT.BIN"
