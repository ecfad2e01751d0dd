#!/usr/bin/env bash
# The web packages in a real headless Chromium against the real orvaned on a temporary root:
# installs what the browser tests need (chromium, node and npm, puppeteer-core from
# tests/web/package-lock.json), starts the server on free ports with development certificates,
# installs the web packages into its root and runs tests/web/*.test.js. Screenshots go to
# <build>/web-artifacts. Skips (exit 0, with the reason) only when no browser can be installed.
set -euo pipefail
build=$(cd "${1:?usage: web_browser.sh <build-dir> <source-dir>}" && pwd)
src=$(cd "${2:?usage: web_browser.sh <build-dir> <source-dir>}" && pwd)

skip() {
  echo "SKIPPED: $*"
  exit 0
}

if ! command -v chromium >/dev/null 2>&1; then
  bash "$src/scripts/install-deps.sh" chromium || true
fi
command -v chromium >/dev/null 2>&1 || skip "no chromium browser could be installed"
if ! command -v node >/dev/null 2>&1; then
  bash "$src/scripts/install-deps.sh" nodejs
fi
if ! command -v npm >/dev/null 2>&1; then
  bash "$src/scripts/install-deps.sh" npm
fi

# The browser is the system's: no package may fetch one of its own.
export PUPPETEER_SKIP_DOWNLOAD=1 PUPPETEER_SKIP_CHROMIUM_DOWNLOAD=1
tests="$src/tests/web"
stamp="$tests/node_modules/.orvane-lock"
want=$(sha256sum "$tests/package-lock.json" | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  (cd "$tests" && npm ci --no-audit --no-fund --loglevel=error)
  echo "$want" >"$stamp"
fi

root=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
http=$(free_port); mon=$(free_port); https=$(free_port)
bash "$src/scripts/dev-certs.sh" "$root/certs" >/dev/null
bash "$src/scripts/install-web.sh" "$root" >/dev/null
mkdir -p "$root/current"

ORVANE_ROOT=$root ORVANE_MACHINE_ID_FILE=$root/this ORVANE_HTTP_PORT=$http \
ORVANE_METRICS_PORT=0 ORVANE_MONITOR_PORT=$mon ORVANE_HTTPS_PORT=$https "$build/orvaned" >"$root/log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  if curl -sk -o /dev/null "https://127.0.0.1:$https/getXmlVersion"; then break; fi
  kill -0 "$pid" 2>/dev/null || { cat "$root/log"; echo "orvaned did not start"; exit 1; }
  sleep 0.1
done

artifacts="$build/web-artifacts"
rm -rf "$artifacts"
mkdir -p "$artifacts"
status=0
export ORVANE_URL="https://127.0.0.1:$https" ORVANE_WEB_ARTIFACTS="$artifacts" CHROMIUM="$(command -v chromium)"
# One file after the other: they share the server, and the machine has few cores.
for t in console portal; do
  (cd "$tests" && node --test --test-reporter=spec "$t.test.js") || status=$?
done
if [ "$status" -ne 0 ]; then
  echo "--- orvaned log (last 40 lines) ---"
  tail -n 40 "$root/log"
  exit "$status"
fi
echo "screenshots in $artifacts"
