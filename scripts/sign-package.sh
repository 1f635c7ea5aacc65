#!/usr/bin/env bash
# Signs a package for the stations: writes PACKAGE.sig beside it, one line, the Base64 of the
# Ed25519 signature over the package's SHA-256 digest, with stock OpenSSL only.
#
#   scripts/sign-package.sh KEY.pem PACKAGE
#
# A key pair: openssl genpkey -algorithm ed25519 -out key.pem
# The stations' line for CONFIGSET.ini [Tovarin] PackageKeys=:
#   openssl pkey -in key.pem -pubout -outform DER | tail -c 32 | base64 -w0
set -euo pipefail
if [ "$#" -ne 2 ]; then
    echo "usage: $0 KEY.pem PACKAGE" >&2
    exit 2
fi
key=$1
package=$2
[ -f "$key" ] || { echo "no key file: $key" >&2; exit 1; }
[ -f "$package" ] || { echo "no package: $package" >&2; exit 1; }
digest=$(mktemp)
trap 'rm -f "$digest"' EXIT
# OpenSSL 3.0 signs a raw input only from a file, not from a pipe.
openssl dgst -sha256 -binary "$package" >"$digest"
openssl pkeyutl -sign -rawin -inkey "$key" -in "$digest" | base64 -w0 >"$package.sig.part"
mv "$package.sig.part" "$package.sig"
