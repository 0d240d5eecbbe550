#!/usr/bin/env bash
# The head office's sales reports over a chain's year: 20 registers x 365
# days kept in the central service's history in PostgreSQL (made and
# imported into a SQLite history by sales_history_bench, which also times
# that history's own reports; the central service copies it into the
# database at its first start, as it does a history of an earlier
# version's, and the time it takes is printed), then
# each grouping of the year over every register asked of a running
# `veltra serve --central` over HTTP, as the head office asks it: the first
# answer and the median of seven more, by curl's time_total (each a new
# connection: over HTTPS, each with its handshake). Target: 1 s.
# Usage: bash bench/chain_report_bench.sh [build-dir] [https]
set -euo pipefail
build=${1:-build/default}
scheme=${2:-http}
veltra="$build/tools/veltra/veltra"
history_bench="$build/bench/sales_history_bench"
[ -x "$veltra" ] && [ -x "$history_bench" ] || { echo "build the default preset first"; exit 2; }
. "$(dirname "$0")/private_postgres.sh"

"$history_bench" "$work/sales" 20

printf 'shop-token-0123456789\n' >"$work/shop.token"
tls=()
curl_tls=()
if [ "$scheme" = https ]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -keyout "$work/central.key" -out "$work/central.pem" -subj /CN=central \
        -addext subjectAltName=IP:127.0.0.1 2>/dev/null
    tls=(--tls-cert "$work/central.pem" --tls-key "$work/central.key")
    curl_tls=(--cacert "$work/central.pem")
fi
"$veltra" serve --central --store "$conninfo" --shop "shop=$work/shop.token" \
    --state-dir "$work/sales/state" --listen 127.0.0.1:0 "${tls[@]}" >"$work/central.log" 2>&1 &
central=$!
trap 'kill $central 2>/dev/null || true; stop_postgres; rm -rf "$work"' EXIT
port=
started=$(date +%s.%N)
for _ in $(seq 36000); do
    port=$(sed -n "s|.*listening on $scheme://127.0.0.1:\\([0-9]*\\).*|\\1|p" "$work/central.log")
    [ -n "$port" ] && break
    kill -0 $central 2>/dev/null || break
    sleep 0.1
done
[ -n "$port" ] || { cat "$work/central.log"; exit 1; }
awk -v s="$started" -v e="$(date +%s.%N)" 'BEGIN { printf "central service started, the year copied into PostgreSQL, in %.1f s\n", e - s }'
grep "copied" "$work/central.log" || true

ok=1
for by in day department article register; do
    url="$scheme://127.0.0.1:$port/api/v1/reports/sales?from=01-01-25&to=31-12-25&by=$by"
    times=()
    for _ in $(seq 8); do
        times+=("$(curl -sf "${curl_tls[@]}" -o /dev/null -w '%{time_total}' "$url")")
    done
    first=${times[0]}
    median=$(printf '%s\n' "${times[@]:1}" | sort -g | sed -n 4p)
    awk -v scheme="$scheme" -v by="$by" -v f="$first" -v m="$median" 'BEGIN {
        printf "central report (%s), year of 20 registers, by %-10s first %6.0f ms, median of 7 %6.0f ms\n", scheme, by, f * 1000, m * 1000
        exit (f >= 1 || m >= 1) }' || ok=0
done
[ $ok = 1 ] && echo "every central report under 1 s" || { echo "A CENTRAL REPORT OVER 1 s"; exit 1; }
