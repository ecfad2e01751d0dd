#!/usr/bin/env bash
# Installs the web packages into a server root: web/web -> <root>/web (served at /),
# web/webmgmt -> <root>/webmgmt (/mgmt/), web/websso -> <root>/websso (/sso/). The shared
# stylesheet and protocol modules of web/common go into each package's common/ folder.
# Usage: scripts/install-web.sh <root>
set -euo pipefail
root=${1:?usage: install-web.sh <root>}
src="$(cd "$(dirname "$0")/.." && pwd)/web"

for pkg in web webmgmt websso; do
  dest="$root/$pkg"
  tmp="$root/.$pkg.new"
  rm -rf "$tmp"
  mkdir -p "$tmp"
  cp -R "$src/$pkg/." "$tmp/"
  mkdir -p "$tmp/common"
  cp -R "$src/common/." "$tmp/common/"
  find "$tmp" -type d -exec chmod 0755 {} +
  find "$tmp" -type f -exec chmod 0644 {} +
  rm -rf "$dest"
  mv "$tmp" "$dest"
done
echo "web packages installed in $root/{web,webmgmt,websso}"
