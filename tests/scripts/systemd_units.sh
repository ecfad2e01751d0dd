#!/usr/bin/env bash
# The service units pass `systemd-analyze verify` (Debian package systemd). Their programs are
# pointed at the build's, since verify wants them to exist. Exit 77 (skipped) without the tool.
set -euo pipefail
build=${1:?usage: systemd_units.sh <build-dir> <source-dir>}
src=${2:?usage: systemd_units.sh <build-dir> <source-dir>}

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "SKIP: systemd-analyze is not installed (Debian package systemd)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The units as the install rules make them, with the build's programs; orvane-hostd, which
# another program provides, is stood in for when the tree does not build it.
hostd="$build/orvane-hostd"
[ -x "$hostd" ] || { hostd="$work/orvane-hostd"; printf '#!/bin/sh\nexec sleep infinity\n' > "$hostd"; chmod +x "$hostd"; }
for unit in orvaned orvane-hostd; do
  sed -e "s|@CMAKE_INSTALL_FULL_SBINDIR@/orvane-hostd|$hostd|" \
      -e "s|@CMAKE_INSTALL_FULL_SBINDIR@|$build|g" \
      -e "s|@ORVANE_LIBEXEC_DIR@/orvane-init|$src/packaging/orvane-init.sh|" \
      -e "s|@ORVANE_DATA_ROOT@|/data/orvane|g" -e "s|@ORVANE_CONF_DIR@|/etc/orvane|g" \
      -e "s|@ORVANE_WEB_DIR@|/usr/share/orvane/web|g" \
      "$src/packaging/systemd/$unit.service.in" > "$work/$unit.service"
  if grep -q '@[A-Z_]*@' "$work/$unit.service"; then
    echo "$unit.service: unreplaced placeholder"; grep '@[A-Z_]*@' "$work/$unit.service"; exit 1
  fi
done

out=$(cd "$work" && SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no \
  "$work/orvaned.service" "$work/orvane-hostd.service" 2>&1) || {
  echo "$out"
  echo "systemd-analyze verify failed"
  exit 1
}
# Warnings about the units themselves fail too; the machine's own units are not ours.
if grep -E "orvane(d|-hostd)\.service" <<<"$out"; then
  echo "systemd-analyze verify reported the units"
  exit 1
fi

# What the service must keep: SIGINT, restart on failure, the dedicated user, the capability
# for the low ports, a read-only system with the data root writable, no new privileges.
for line in 'KillSignal=SIGINT' 'Restart=on-failure' 'User=orvane' \
            'AmbientCapabilities=CAP_NET_BIND_SERVICE' 'ProtectSystem=strict' \
            'ReadWritePaths=/data/orvane' 'NoNewPrivileges=yes'; do
  grep -qx "$line" "$work/orvaned.service" || { echo "orvaned.service lacks $line"; exit 1; }
done
grep -q "^ExecStart=$build/orvaned\$" "$work/orvaned.service"
grep -q "^ExecStart=$hostd\$" "$work/orvane-hostd.service"
echo "service units verified"
