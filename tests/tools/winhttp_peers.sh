#!/usr/bin/env bash
# HTTPS peers for the Windows build's client test: three HTTPS servers
# (https_files.py) serving a file from a scratch folder, with certificates signed
# by a test authority for localhost and 127.0.0.1, and for other.example
# only, and one by another authority for localhost. The test (the rest of
# the command line, under Wine) finds them through VELTRA_TLS_PEERS and
# VELTRA_TLS_CA.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/veltra-tls.XXXXXX")
servers=()
cleanup() {
    for pid in "${servers[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"
key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
authority() {  # NAME
    openssl req -x509 "${key[@]}" -keyout "$1.key" -out "$1.pem" -days 2 \
        -subj "/CN=veltra test $1" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign >>openssl.log 2>&1
}
signed() {  # NAME SUBJECT-ALT-NAMES SERIAL AUTHORITY
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$2" >"$1.ext"
    openssl req "${key[@]}" -keyout "$1.key" -out "$1.csr" -subj "/CN=$1" >>openssl.log 2>&1
    openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -set_serial "$3" -days 2 \
        -extfile "$1.ext" -out "$1.pem" >>openssl.log 2>&1
}
authority ca
authority stranger-ca
signed server DNS:localhost,IP:127.0.0.1 0x101 ca
signed other DNS:other.example 0x102 ca
signed stranger DNS:localhost,IP:127.0.0.1 0x103 stranger-ca
mkdir files
printf 'hello over https\n' >files/hello.txt
ports=()
for name in server other stranger; do
    python3 "$here/https_files.py" files "$name.pem" "$name.key" "$name.port" \
        >"$name.log" 2>&1 </dev/null &
    servers+=($!)
done
for name in server other stranger; do
    for _ in $(seq 100); do
        [ -s "$name.port" ] && break
        sleep 0.1
    done
    [ -s "$name.port" ] || { echo "the HTTPS server with $name.pem did not start:"; cat "$name.log"; exit 1; }
    ports+=("$(cat "$name.port")")
done
export VELTRA_TLS_PEERS="${ports[*]}"
export VELTRA_TLS_CA="$dir/ca.pem"
status=0
"$@" || status=$?
exit "$status"
