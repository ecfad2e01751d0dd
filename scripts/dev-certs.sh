#!/usr/bin/env bash
# Generates development TLS material into a certs folder when none exists:
# a CA (orvane-ca.pem), a server key (orvane.key) and a certificate for localhost signed by that
# CA (orvane.pem, followed by the CA certificate to form the chain).
# Usage: scripts/dev-certs.sh <certs-dir>
set -euo pipefail

dir=${1:?usage: dev-certs.sh <certs-dir>}
mkdir -p "$dir"
chmod 700 "$dir"
if [ -s "$dir/orvane.key" ] && [ -s "$dir/orvane.pem" ] && [ -s "$dir/orvane-ca.pem" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 \
  -subj "/C=BG/CN=Orvane Development CA" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 \
  -subj "/CN=localhost" \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
cat > "$work/ext.cnf" <<EXT
basicConstraints=CA:FALSE
keyUsage=digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:localhost,IP:127.0.0.1
EXT
openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 3650 -sha256 -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null

install -m 600 "$work/server.key" "$dir/orvane.key"
cat "$work/server.pem" "$work/ca.pem" > "$dir/orvane.pem"
cp "$work/ca.pem" "$dir/orvane-ca.pem"
chmod 644 "$dir/orvane.pem" "$dir/orvane-ca.pem"
echo "development certificates written to $dir"
