#!/usr/bin/env bash
# The README's first session, driven with curl against the real orvaned on a temporary root.
set -euo pipefail
build=${1:?usage: curl_session.sh <build-dir> <source-dir>}
src=${2:?usage: curl_session.sh <build-dir> <source-dir>}

root=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -9 "$pid"; fi
  rm -rf "$root"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
http=$(free_port); mon=$(free_port); https=$(free_port)
bash "$src/scripts/dev-certs.sh" "$root/certs" >/dev/null

ORVANE_ROOT=$root ORVANE_MACHINE_ID_FILE=$root/this ORVANE_HTTP_PORT=$http \
ORVANE_METRICS_PORT=0 ORVANE_MONITOR_PORT=$mon ORVANE_HTTPS_PORT=$https "$build/orvaned" >"$root/log" 2>&1 &
pid=$!
for _ in $(seq 1 600); do
  if curl -sk -o /dev/null "https://127.0.0.1:$https/getXmlVersion"; then break; fi
  sleep 0.1
done

answer=$(curl -sk "https://127.0.0.1:$https/" \
  -d '<orvane><getToken domain="ORVANE"><u>Administrator</u><p>tolbrine</p></getToken></orvane>')
echo "$answer"
token=$(printf '%s' "$answer" | sed -n 's/.*<token[^>]*>\([^<]*\)<\/token>.*/\1/p')
[ -n "$token" ] || { echo "no token"; exit 1; }
grep -q '<res code="0" msg="no error."' <<<"$answer"

answer=$(curl -sk "https://127.0.0.1:$https/" \
  -d "<orvane><userSearch domain=\"ORVANE\" token=\"$token\"><s></s></userSearch></orvane>")
echo "$answer"
grep -q 'uname="Administrator"' <<<"$answer"
grep -q '<res code="0" msg="no error."' <<<"$answer"

# A wrong password and an unknown token get their result codes.
answer=$(curl -sk "https://127.0.0.1:$https/" \
  -d '<orvane><getToken domain="ORVANE"><u>Administrator</u><p>wrong</p></getToken></orvane>')
grep -q '<res code="260" msg="invalid credentials."' <<<"$answer"
answer=$(curl -sk "https://127.0.0.1:$https/" \
  -d '<orvane><isValidToken domain="ORVANE" token="nope"/></orvane>')
grep -q '<res code="257" msg="token not found."' <<<"$answer"

# The plain port serves the version query; SIGINT stops the server cleanly.
curl -s "http://127.0.0.1:$http/getXmlVersion" | grep -q 'server version="1.0.0"'
kill -INT "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" -eq 0 ] || { echo "exit status $status"; cat "$root/log"; exit 1; }
grep -q 'exiting...' "$root/log"
echo "curl session passed"
