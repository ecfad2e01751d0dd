#!/usr/bin/env bash
# The install rules (what `make install DESTDIR=... PREFIX=...` runs) lay out the expected tree
# under DESTDIR and a prefix, and the installed programs run from it.
set -euo pipefail
build=${1:?usage: install_tree.sh <build-dir> <source-dir>}
src=${2:?usage: install_tree.sh <build-dir> <source-dir>}

dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install "$build" --prefix /opt/orvane >/dev/null

root="$dest/opt/orvane"
expect() {
  for path in "$@"; do
    [ -e "$root/$path" ] || { echo "missing: $path"; (cd "$dest" && find . -type f | sort); exit 1; }
  done
}
expect sbin/orvaned sbin/orvane-dbupdate bin/orvanectl libexec/orvane/orvane-init \
       share/man/man8/orvaned.8 share/man/man8/orvane-dbupdate.8 share/man/man1/orvanectl.1 \
       share/bash-completion/completions/orvanectl lib/systemd/system/orvaned.service \
       share/doc/orvane/copyright share/doc/orvane/commands.md share/doc/orvane/deployment.md
lib=$(find "$root" -name 'libkt.so*' | head -1)
[ -n "$lib" ] || { echo "missing: libkt"; exit 1; }
if [ -d "$src/web/web" ]; then
  expect share/orvane/web/web/index.html share/orvane/web/webmgmt/index.html \
         share/orvane/web/websso/index.html share/orvane/web/webmgmt/common/orvane.js
fi
# Nothing lands outside DESTDIR/prefix.
extra=$(cd "$dest" && find . -mindepth 1 -maxdepth 2 ! -path ./opt ! -path ./opt/orvane)
[ -z "$extra" ] || { echo "outside the prefix: $extra"; exit 1; }

# The installed programs find the installed libkt; their versions and help print and exit.
for program in sbin/orvaned sbin/orvane-dbupdate bin/orvanectl; do
  env -u LD_LIBRARY_PATH "$root/$program" --version | grep -q ' 1\.0\.0$'
done
env -u LD_LIBRARY_PATH "$root/bin/orvanectl" user --help | grep -q 'usage: orvanectl user'
# The man pages format cleanly.
if command -v man >/dev/null 2>&1; then
  for page in share/man/man8/orvaned.8 share/man/man8/orvane-dbupdate.8 share/man/man1/orvanectl.1; do
    warnings=$(man --warnings -l -Tutf8 "$root/$page" 2>&1 >/dev/null || true)
    [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  done
fi
bash -n "$root/share/bash-completion/completions/orvanectl"
echo "install tree as expected"
