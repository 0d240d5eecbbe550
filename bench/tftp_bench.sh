#!/usr/bin/env bash
# Get and put of a 6,400,000-byte file from tftpd-hpa on 127.0.0.1: the
# library's client beside tftp-hpa's tftp and curl --tftp-no-options (all
# lock-step, no options). Prints the median wall time of RUNS runs (default
# 7) and the peak resident memory of each client.
# Usage: bash bench/tftp_bench.sh [build-dir] [runs]   (needs root for in.tftpd)
set -euo pipefail
build=${1:-build/default}
runs=${2:-7}
client="$build/bench/tftp_transfer"
[ -x "$client" ] || { echo "build the benchmark first: cmake --build $build --target tftp_transfer"; exit 2; }
command -v /usr/bin/time >/dev/null || { echo "needs /usr/bin/time (Debian package time)"; exit 2; }

work=$(mktemp -d)
port=$((20000 + RANDOM % 20000))
in.tftpd -L -a "127.0.0.1:$port" -s -c -p -u root "$work/root" 2>/dev/null &
mkdir -p "$work/root" "$work/local"
server=$!
trap 'kill $server 2>/dev/null; rm -rf "$work"' EXIT
head -c 6400000 /dev/urandom > "$work/root/BIG.BIN"
cp "$work/root/BIG.BIN" "$work/local/UP.BIN"
sleep 0.3
export ECR_TFTP_PORT=$port

# run NAME COMMAND...: prints "seconds peak_kb" of one run
measure() {
    local t0 t1 kb
    t0=$(date +%s.%N)
    kb=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1)
    t1=$(date +%s.%N)
    echo "$(echo "$t1 - $t0" | bc -l) $kb"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

report() {
    local label=$1; shift
    local times=() kbs=()
    for _ in $(seq "$runs"); do
        read -r s kb < <(measure "$@")
        times+=("$s"); kbs+=("$kb")
    done
    local med peak
    med=$(printf '%s\n' "${times[@]}" | median)
    peak=$(printf '%s\n' "${kbs[@]}" | sort -n | tail -1)
    printf '%-34s median %.3f s   peak %6d KiB\n' "$label" "$med" "$peak"
}

cd "$work/local"
echo "get 6,400,000 bytes ($runs runs each)"
report "veltra ecr_tftp_get" "$OLDPWD/$client" get 127.0.0.1 "$work/local/BIG.BIN"
cmp -s "$work/local/BIG.BIN" "$work/root/BIG.BIN" || { echo "veltra get: file differs"; exit 1; }
report "tftp-hpa tftp" tftp -m binary 127.0.0.1 "$port" -c get BIG.BIN "$work/local/BIG2.BIN"
report "curl --tftp-no-options" curl -s --tftp-no-options -o "$work/local/BIG3.BIN" "tftp://127.0.0.1:$port/BIG.BIN"
echo "put 6,400,000 bytes ($runs runs each)"
report "veltra ecr_tftp_put" "$OLDPWD/$client" put 127.0.0.1 "$work/local/UP.BIN"
report "tftp-hpa tftp" tftp -m binary 127.0.0.1 "$port" -c put UP.BIN UP2.BIN
report "curl --tftp-no-options" curl -s --tftp-no-options -T "$work/local/UP.BIN" "tftp://127.0.0.1:$port/UP3.BIN"
