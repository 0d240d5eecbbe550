#!/usr/bin/env bash
# A full ecr_dati_save from ecrsim over loopback beside tftp-hpa's client
# fetching the same twelve files from the same ecrsim. Prints each run, the
# medians, the ratio save / tftp and the save's peak resident memory; exits
# 1 when the ratio is above 1.2 (BENCH_LIMIT) or the memory above 8 MB
# (BENCH_MEM_KB). Usage: bash bench/dati_save_bench.sh [build dir] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
runs=${2:-7}
limit=${BENCH_LIMIT:-1.2}
mem_limit_kb=${BENCH_MEM_KB:-8192}
addr=127.0.0.23
ecrsim=$build/sim/ecrsim
saver=$build/bench/dati_save
members="INTESTAZIONE.BIN CORTESIA.BIN REPARTI.BIN IVA.BIN VAL.BIN OPERATORI.BIN
PROG_PARAM.BIN LOGO.BIN BITMAP.BIN CLIENTI.BIN PLU.BIN TAV_MIN.BIN"

[ -x "$ecrsim" ] && [ -x "$saver" ] || { echo "build ecrsim and dati_save first"; exit 2; }
command -v tftp >/dev/null || { echo "needs tftp-hpa"; exit 2; }
[ -x /usr/bin/time ] || { echo "needs Debian's time"; exit 2; }

work=$(mktemp -d /tmp/dati-save-bench.XXXXXX)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/state" "$work/temp" "$work/get"

"$ecrsim" --address "$addr" --state "$work/state" --tftp-port 0 --line-port 0 \
    --keyboard-port 0 --busy-ms 100 > "$work/ecrsim.log" 2>&1 &
pid=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n "s/^ecrsim: ready, TFTP $addr:\([0-9]*\),.*/\1/p" "$work/ecrsim.log" 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/ecrsim.log"; exit 2; }

timed_tftp() {
    local t0 t1
    rm -f "$work"/get/*
    t0=$(date +%s%N)
    # shellcheck disable=SC2086
    (cd "$work/get" && tftp -m octet "$addr" "$port" -c get $members)
    t1=$(date +%s%N)
    [ "$(cat "$work"/get/* | wc -c)" -eq 7059100 ] || { echo "tftp fetched a short set" >&2; exit 1; }
    echo $(( (t1 - t0) / 1000000 ))
}

# Prints "ms peak_kb" of one save.
timed_save() {
    local out
    out=$(TEMP="$work/temp" ECR_TFTP_PORT=$port /usr/bin/time -f "%M" -o "$work/mem" \
        "$saver" "$work/cassa.bak" "$addr")
    [ "${out%% *}" = 0 ] || { echo "save failed: $out" >&2; exit 1; }
    [ "$(stat -c %s "$work/cassa.bak")" -eq 7059616 ] || { echo "archive of wrong size" >&2; exit 1; }
    echo "${out##* } $(cat "$work/mem")"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

timed_tftp >/dev/null
timed_save >/dev/null
save_times=() tftp_times=() peak=0
printf '%-4s %10s %10s %10s\n' run "save ms" "tftp ms" "save KB"
for i in $(seq "$runs"); do
    read -r s kb < <(timed_save)
    t=$(timed_tftp)
    save_times+=("$s") tftp_times+=("$t")
    [ "$kb" -gt "$peak" ] && peak=$kb
    printf '%-4s %10s %10s %10s\n' "$i" "$s" "$t" "$kb"
done
save_med=$(printf '%s\n' "${save_times[@]}" | median)
tftp_med=$(printf '%s\n' "${tftp_times[@]}" | median)
ratio=$(awk -v a="$save_med" -v b="$tftp_med" 'BEGIN {printf "%.2f", a / b}')
printf 'median: save %s ms, tftp-hpa %s ms, ratio %s (limit %s); peak %s KB (limit %s)\n' \
    "$save_med" "$tftp_med" "$ratio" "$limit" "$peak" "$mem_limit_kb"
awk -v r="$ratio" -v l="$limit" 'BEGIN {exit !(r <= l)}' && [ "$peak" -le "$mem_limit_kb" ]
