#!/bin/sh
# Prepares an Orvane data root for the service, making only what is missing:
#   - the data root owned by the service user (0750) and its certs folder (0700);
#   - a first certificate: a CA and a server certificate for this host's names, localhost and
#     127.0.0.1 (orvane-ca.pem, orvane.key, orvane.pem);
#   - the machine identity file;
#   - links to the installed web packages (--web DIR: DIR/web, DIR/webmgmt, DIR/websso) where
#     the data root has none of its own;
#   - before the first start only (no database yet): a random Administrator password in
#     <data>/initial-admin-password (0600), which the server takes when it creates the
#     database, printed once here.
# Usage: orvane-init [--data DIR] [--user NAME] [--conf DIR] [--web DIR] [--quiet]
set -eu

data=/data/orvane
user=orvane
conf=/etc/orvane
web=""
quiet=0
while [ $# -gt 0 ]; do
  case "$1" in
    --data) data=$2; shift 2 ;;
    --user) user=$2; shift 2 ;;
    --conf) conf=$2; shift 2 ;;
    --web) web=$2; shift 2 ;;
    --quiet) quiet=1; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "orvane-init: unknown argument $1" >&2; exit 2 ;;
  esac
done

umask 077
mkdir -p "$data" "$data/certs" "$conf"
chmod 0750 "$data"
chmod 0700 "$data/certs"

if [ ! -s "$conf/machine-id" ]; then
  if [ -r /proc/sys/kernel/random/uuid ]; then
    cat /proc/sys/kernel/random/uuid > "$conf/machine-id"
  else
    od -An -N16 -tx1 /dev/urandom | tr -d ' \n' |
      sed 's/^\(.\{8\}\)\(.\{4\}\)\(.\{4\}\)\(.\{4\}\)/\1-\2-\3-\4-/' > "$conf/machine-id"
  fi
  chmod 0644 "$conf/machine-id"
fi

if [ -n "$web" ]; then
  for pkg in web webmgmt websso; do
    if [ -d "$web/$pkg" ] && [ ! -e "$data/$pkg" ] && [ ! -L "$data/$pkg" ]; then
      ln -s "$web/$pkg" "$data/$pkg"
    fi
  done
fi

certs="$data/certs"
if [ ! -s "$certs/orvane.key" ] || [ ! -s "$certs/orvane.pem" ] || [ ! -s "$certs/orvane-ca.pem" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  host=$(hostname -f 2>/dev/null || hostname 2>/dev/null || uname -n)
  short=$(hostname -s 2>/dev/null || echo "${host%%.*}")
  openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
    -subj "/CN=Orvane CA $host" -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
  openssl req -newkey rsa:3072 -nodes -sha256 -subj "/CN=$host" \
    -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null
  cat > "$work/ext.cnf" <<EXT
basicConstraints=CA:FALSE
keyUsage=digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=DNS:$host,DNS:$short,DNS:localhost,IP:127.0.0.1
EXT
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
    -CAcreateserial -days 825 -sha256 -extfile "$work/ext.cnf" -out "$work/server.pem" 2>/dev/null
  install -m 0600 "$work/server.key" "$certs/orvane.key"
  cat "$work/server.pem" "$work/ca.pem" > "$certs/orvane.pem"
  cp "$work/ca.pem" "$certs/orvane-ca.pem"
  # The CA key stays beside them, readable by root only, to issue the next certificate.
  install -m 0600 "$work/ca.key" "$certs/orvane-ca.key"
  chmod 0644 "$certs/orvane.pem" "$certs/orvane-ca.pem"
  [ "$quiet" = 1 ] || echo "orvane: certificate for $host written to $certs (CA: $certs/orvane-ca.pem)"
fi

password="$data/initial-admin-password"
if [ ! -e "$data/current/domains" ] && [ ! -s "$password" ]; then
  # Letters and digits of both cases, so that the default password policy accepts it.
  secret=$(od -An -N24 -tx1 /dev/urandom | tr -d ' \n' | cut -c1-20)
  secret="Ov${secret}9"
  printf '%s\n' "$secret" > "$password"
  chmod 0600 "$password"
  echo "orvane: the Administrator password of domain ORVANE is: $secret"
  echo "orvane: it is kept (owner-only) in $password; change it after the first login."
fi

if id "$user" >/dev/null 2>&1; then
  chown "$user:$user" "$data" "$certs" "$certs/orvane.key" "$certs/orvane.pem" "$certs/orvane-ca.pem"
  [ -e "$password" ] && chown "$user:$user" "$password"
  [ -d "$data/current" ] && chown -R "$user:$user" "$data/current"
  chown root:root "$certs/orvane-ca.key" 2>/dev/null || true
fi
exit 0
