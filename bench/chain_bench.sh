#!/usr/bin/env bash
# The chain's queue draining (chain_bench) on a PostgreSQL server of its
# own: Debian's initdb and pg_ctl in a scratch folder, on a Unix socket
# there, stopped at the end (as the user nobody when run as root, since the
# server refuses root).
# Usage: bash bench/chain_bench.sh [build-dir]
set -euo pipefail
build=${1:-build/default}
bench="$build/bench/chain_bench"
[ -x "$bench" ] || { echo "build the default preset first (needs libpq-dev)"; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL server (Debian: postgresql)"; exit 2; }

work=$(mktemp -d)
chmod 755 "$work"
mkdir "$work/data"
as=()
if [ "$(id -u)" = 0 ]; then
    chown nobody "$work/data"
    as=(runuser -u nobody --)
fi
trap '"${as[@]}" "$bin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
      rm -rf "$work"' EXIT
"${as[@]}" "$bin/initdb" -D "$work/data" -U veltra --auth=trust -E UTF8 --locale=C.UTF-8 -N \
    >"$work/initdb.log" 2>&1
"${as[@]}" "$bin/pg_ctl" -D "$work/data" -o "-k $work/data -c listen_addresses=" -w \
    -l "$work/data/log" start >/dev/null
"$bench" "host=$work/data user=veltra dbname=postgres"
