#!/usr/bin/env bash
# Signs Windows files in place with osslsigncode (SHA-256, Authenticode) and
# verifies each signature against the signing certificate.
# Usage: bash packaging/windows/sign.sh CERT.pem KEY.pem FILE...
# A file is replaced only by a signed copy that verified.
set -euo pipefail
if [ $# -lt 3 ]; then
    echo "usage: sign.sh CERT.pem KEY.pem FILE..." >&2
    exit 2
fi
cert=$1 key=$2
shift 2
for f in "$@"; do
    signed="$f.signing"
    rm -f "$signed"
    if ! osslsigncode sign -certs "$cert" -key "$key" -h sha256 -n VELTRA \
            -in "$f" -out "$signed" >/dev/null; then
        rm -f "$signed"
        echo "sign.sh: could not sign $f" >&2
        exit 1
    fi
    # The certificate is its own trust anchor here: what is checked is that
    # the file carries an intact signature made with this key.
    if ! osslsigncode verify -CAfile "$cert" -in "$signed" >/dev/null; then
        rm -f "$signed"
        echo "sign.sh: the signature of $f does not verify" >&2
        exit 1
    fi
    mv -f "$signed" "$f"
done
