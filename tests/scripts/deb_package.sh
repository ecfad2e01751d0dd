#!/usr/bin/env bash
# The Debian package (what `make deb` builds, here from the test build) holds the programs,
# libkt, units, man pages and maintainer scripts; and the package's first start works: the
# data root, first certificate and random Administrator password that its installation makes
# (orvane-init) let a fresh orvaned start, serve HTTPS to a client trusting that certificate,
# and log in with that password only.
set -euo pipefail
build=${1:?usage: deb_package.sh <build-dir> <source-dir>}
src=${2:?usage: deb_package.sh <build-dir> <source-dir>}

work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; exit 1; }
deb=$(find "$work/out" -maxdepth 1 -name 'orvane_1.0.0_*.deb' | head -1)
[ -n "$deb" ] || { echo "no package built"; cat "$work/cpack.log"; exit 1; }

dpkg-deb -c "$deb" > "$work/contents"
cat "$work/contents"
for path in /sbin/orvaned /sbin/orvane-dbupdate /bin/orvanectl /libexec/orvane/orvane-init \
            /lib/systemd/system/orvaned.service /man/man1/orvanectl.1 /man/man8/orvaned.8 \
            /bash-completion/completions/orvanectl /doc/orvane/copyright; do
  grep -q -- "$path\$" "$work/contents" || { echo "package lacks $path"; exit 1; }
done
grep -q 'libkt\.so' "$work/contents" || { echo "package lacks libkt"; exit 1; }
grep -q '/data/orvane' "$work/contents" && { echo "the package must not ship the data root"; exit 1; }

dpkg-deb -I "$deb" > "$work/info"
grep -q '^ Package: orvane$' "$work/info"
grep -q '^ Depends: .*openssl' "$work/info"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || { echo "no $script"; exit 1; }
  sh -n "$work/control/$script"
done
grep -q 'adduser --system' "$work/control/postinst"
grep -q 'orvane-init --data "$DATA"' "$work/control/postinst"
! grep -q 'rm -rf' "$work/control/postrm" || { echo "postrm must keep the data"; exit 1; }

# The first start, on a data root prepared as the installation does.
data="$work/data"
bash "$src/packaging/orvane-init.sh" --data "$data" --conf "$work/etc" --user nobody-here \
  > "$work/init.log"
cat "$work/init.log"
password=$(sed -n 's/.*Administrator password of domain ORVANE is: //p' "$work/init.log")
[ -n "$password" ] && [ "$password" = "$(cat "$data/initial-admin-password")" ]
[ "$(stat -c %a "$data/initial-admin-password")" = 600 ]
[ "$(stat -c %a "$data/certs")" = 700 ] && [ "$(stat -c %a "$data/certs/orvane.key")" = 600 ]
[ -s "$work/etc/machine-id" ]
# Run again: nothing is made twice and the password is not printed again.
bash "$src/packaging/orvane-init.sh" --data "$data" --conf "$work/etc" --user nobody-here --quiet \
  > "$work/init2.log"
[ ! -s "$work/init2.log" ] || { cat "$work/init2.log"; exit 1; }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
https=$(free_port)
: > "$work/log"
ORVANE_ROOT="$data" ORVANE_MACHINE_ID_FILE="$work/etc/machine-id" \
ORVANE_HTTP_PORT=$(free_port) ORVANE_MONITOR_PORT=$(free_port) ORVANE_METRICS_PORT=0 ORVANE_HTTPS_PORT=$https \
ORVANE_ADMIN_PASSWORD_FILE="$data/initial-admin-password" "$build/orvaned" >"$work/log" 2>&1 &
pid=$!
ctl() {
  env -u XDG_CONFIG_HOME -u ORVANE_CONFIG_DIR HOME="$work/home" \
    "$build/orvanectl" --server "https://127.0.0.1:$https" --ca "$data/certs/orvane-ca.pem" "$@"
}
printf 'tolbrine\n' > "$work/default"
for _ in $(seq 1 100); do
  grep -q 'orvaned listening' "$work/log" && break
  sleep 0.1
done
status=0
ctl login --password-file "$work/default" >/dev/null 2>&1 || status=$?
[ "$status" = 5 ] || { echo "the default password must not log in (status $status)"; cat "$work/log"; exit 1; }
ctl login --password-file "$data/initial-admin-password"
ctl whoami | grep -q 'Administrator'
kill -INT "$pid"
wait "$pid"
pid=""
echo "Debian package and first start as expected"
