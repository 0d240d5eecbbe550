# A PostgreSQL server of the bench's own, sourced by the chain's benches:
# Debian's initdb and pg_ctl in a scratch folder, on a Unix socket there,
# stopped at the end (as the user nobody when run as root, since the server
# refuses root). Sets work (the scratch folder) and conninfo.
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -n "$bin" ] && [ -x "$bin/initdb" ] || { echo "no PostgreSQL server (Debian: postgresql)"; exit 2; }

work=$(mktemp -d)
chmod 755 "$work"
mkdir "$work/data"
as=()
if [ "$(id -u)" = 0 ]; then
    chown nobody "$work/data"
    as=(runuser -u nobody --)
fi
stop_postgres() {
    "${as[@]}" "$bin/pg_ctl" -D "$work/data" -m immediate -w stop >/dev/null 2>&1 || true
}
trap 'stop_postgres; rm -rf "$work"' EXIT
"${as[@]}" "$bin/initdb" -D "$work/data" -U veltra --auth=trust -E UTF8 --locale=C.UTF-8 -N \
    >"$work/initdb.log" 2>&1
"${as[@]}" "$bin/pg_ctl" -D "$work/data" -o "-k $work/data -c listen_addresses=" -w \
    -l "$work/data/log" start >/dev/null
conninfo="host=$work/data user=veltra dbname=postgres"
