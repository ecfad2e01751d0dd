#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Orvane need, only when missing.
# Usage: scripts/install-deps.sh [--run] [extra-package ...]
#   --run   only what building and running the programs needs (make run, make install, make deb)
set -euo pipefail

if [ "${1:-}" = "--run" ]; then
  shift
  packages=(cmake make g++ pkg-config libssl-dev libcrypt-dev libpam0g-dev openssl tar gzip "$@")
else
  # systemd: systemd-analyze checks the service units in the tests; pamtester drives the PAM
  # module in the host tests; nodejs is the stock WebSocket client of the conformance test;
  # prometheus brings promtool, which checks the metrics text.
  packages=(cmake make g++ pkg-config libssl-dev libcrypt-dev libgtest-dev libgmock-dev
            libbenchmark-dev openssl curl tar gzip procps python3 clang-format clang git systemd
            libpam0g-dev pamtester nodejs prometheus "$@")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
