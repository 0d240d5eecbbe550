#!/usr/bin/env bash
# Side by side on loopback: tftp-hpa's client fetching a 6,400,000-byte file
# (the size of PLU.BIN) from ecrsim and from in.tftpd (tftpd-hpa). Prints
# each run, the medians and the ratio ecrsim / in.tftpd; exits 1 when the
# ratio is above the limit (1.2 unless BENCH_LIMIT says otherwise).
# Usage: bash bench/tftp_get_bench.sh [ecrsim binary] [runs]
# Needs root for in.tftpd's chroot; run scripts/setup.sh and a build first.
set -euo pipefail
cd "$(dirname "$0")/.."
ecrsim=${1:-build/default/sim/ecrsim}
runs=${2:-7}
limit=${BENCH_LIMIT:-1.2}
size=6400000
sim_addr=127.0.0.21
tftpd_addr=127.0.0.22

[ -x "$ecrsim" ] || { echo "no ecrsim at $ecrsim (build first)"; exit 2; }
command -v tftp >/dev/null && command -v in.tftpd >/dev/null || { echo "needs tftp-hpa and tftpd-hpa"; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "in.tftpd needs root for its chroot"; exit 2; }

work=$(mktemp -d /tmp/ecrsim-bench.XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/state" "$work/root"
chmod 755 "$work" "$work/root"
head -c "$size" /dev/urandom > "$work/root/BENCH.BIN"
chmod 644 "$work/root/BENCH.BIN"
cp "$work/root/BENCH.BIN" "$work/state/BENCH.BIN"

# ecrsim on a port of its choosing; the ready line names it.
"$ecrsim" --address "$sim_addr" --state "$work/state" --tftp-port 0 --line-port 0 \
    --keyboard-port 0 > "$work/ecrsim.log" 2>&1 &
pids+=($!)
sim_port=""
for _ in $(seq 100); do
    sim_port=$(sed -n "s/^ecrsim: ready, TFTP $sim_addr:\([0-9]*\),.*/\1/p" "$work/ecrsim.log" 2>/dev/null || true)
    [ -n "$sim_port" ] && break
    sleep 0.1
done
[ -n "$sim_port" ] || { cat "$work/ecrsim.log"; exit 2; }

# in.tftpd in the foreground on a free port of its own address.
tftpd_port=$(python3 -c "import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(('$tftpd_addr', 0)); print(s.getsockname()[1])")
in.tftpd -L -a "$tftpd_addr:$tftpd_port" -s "$work/root" -u root &
pids+=($!)
sleep 0.5

# One timed get in milliseconds; the file must arrive intact.
timed_get() {
    local addr=$1 port=$2 out="$work/out.bin" t0 t1
    rm -f "$out"
    t0=$(date +%s%N)
    tftp -m octet "$addr" "$port" -c get BENCH.BIN "$out"
    t1=$(date +%s%N)
    cmp -s "$out" "$work/root/BENCH.BIN" || { echo "corrupt transfer from $addr:$port" >&2; exit 1; }
    echo $(( (t1 - t0) / 1000000 ))
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR+1)/2] : (a[NR/2] + a[NR/2+1]) / 2}'; }

timed_get "$sim_addr" "$sim_port" >/dev/null      # warm both page caches
timed_get "$tftpd_addr" "$tftpd_port" >/dev/null
sim_times=() tftpd_times=()
printf '%-4s %12s %12s\n' run "ecrsim ms" "in.tftpd ms"
for i in $(seq "$runs"); do
    s=$(timed_get "$sim_addr" "$sim_port")
    d=$(timed_get "$tftpd_addr" "$tftpd_port")
    sim_times+=("$s") tftpd_times+=("$d")
    printf '%-4s %12s %12s\n' "$i" "$s" "$d"
done
sim_med=$(printf '%s\n' "${sim_times[@]}" | median)
tftpd_med=$(printf '%s\n' "${tftpd_times[@]}" | median)
ratio=$(awk -v a="$sim_med" -v b="$tftpd_med" 'BEGIN {printf "%.2f", a / b}')
printf 'median: ecrsim %s ms, in.tftpd %s ms, ratio %s (limit %s)\n' "$sim_med" "$tftpd_med" "$ratio" "$limit"
awk -v r="$ratio" -v l="$limit" 'BEGIN {exit !(r <= l)}'
