#!/usr/bin/env bash
# Generates development TLS material into a certs folder when none exists:
# a CA (orvane-ca.pem), a server key (orvane.key) and a certificate for localhost signed by that
# CA (orvane.pem, followed by the CA certificate to form the chain). Keys are ECDSA P-256, or
# RSA-2048 with --rsa (or DEV_CERT_KEY=rsa).
# Usage: scripts/dev-certs.sh [--rsa | --ecdsa] <certs-dir>
set -euo pipefail

kind=${DEV_CERT_KEY:-ecdsa}
case ${1:-} in
  --rsa) kind=rsa; shift ;;
  --ecdsa) kind=ecdsa; shift ;;
esac
dir=${1:?usage: dev-certs.sh [--rsa | --ecdsa] <certs-dir>}
case $kind in
  rsa)
    newkey=(-newkey rsa:2048)
    usage=digitalSignature,keyEncipherment
    ;;
  ecdsa | ec)
    newkey=(-newkey ec -pkeyopt ec_paramgen_curve:P-256)
    usage=digitalSignature
    ;;
  *)
    echo "dev-certs.sh: unknown key type $kind (rsa or ecdsa)" >&2
    exit 2
    ;;
esac
mkdir -p "$dir"
chmod 700 "$dir"
if [ -s "$dir/orvane.key" ] && [ -s "$dir/orvane.pem" ] && [ -s "$dir/orvane-ca.pem" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 "${newkey[@]}" -nodes -sha256 -days 3650 \
  -subj "/C=BG/CN=Orvane Development CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req "${newkey[@]}" -nodes -sha256 \
  -subj "/CN=localhost" \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
cat > "$work/ext.cnf" <<EXT
basicConstraints=CA:FALSE
keyUsage=$usage
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 3650 -sha256 -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

install -m 600 "$work/server.key" "$dir/orvane.key"
cat "$work/server.pem" "$work/ca.pem" > "$dir/orvane.pem"
cp "$work/ca.pem" "$dir/orvane-ca.pem"
chmod 644 "$dir/orvane.pem" "$dir/orvane-ca.pem"
echo "development certificates ($kind) written to $dir"
