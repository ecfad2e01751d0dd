#!/usr/bin/env bash
# Prints what `make run` serves and how to log in.
# Usage: scripts/run-banner.sh <root> <build-dir> <https-port>
set -euo pipefail
root=${1:?usage: run-banner.sh <root> <build-dir> <https-port>}
build=${2:?usage: run-banner.sh <root> <build-dir> <https-port>}
port=${3:?usage: run-banner.sh <root> <build-dir> <https-port>}
base="https://localhost:$port"
cat <<BANNER

  Orvane is starting on $root
    console  $base/mgmt/
    portal   $base/sso/
    API      $base/  (POST an <orvane> command document)
    CA       $root/certs/orvane-ca.pem  (development CA: trust it in the browser or with --ca)
  Login: domain ORVANE, user Administrator, password tolbrine (that of a new database)
    $build/orvanectl login      (this build defaults to $base and the development CA)
  WARNING: change the default password now:
    $build/orvanectl user passwd Administrator
  Stop with Ctrl-C: every domain is written back.

BANNER
