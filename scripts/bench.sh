#!/usr/bin/env bash
# Runs the benchmarks of a build directory and prints one table: benchmark | figure | target.
#
#  1. The Google Benchmark programs (filedb_bench, hashtable_bench, processor_bench, users_bench)
#     with short settings.
#  2. The real orvaned on a temporary root (free ports, development certificates, a 2048-bit
#     certificate authority made by orvane-bench-ca), once with an RSA-2048 and once with an
#     ECDSA P-256 server key, loaded over TLS 1.2: isValidToken and getToken at 1, 8 and 64
#     clients, with a full handshake per request (by orvane-load and by the shared lean client
#     tlsload, built from ../shared/tools/tlsload.c or TLSLOAD_SRC) and, on RSA, with each client
#     resuming its session by ticket (orvane-load --resume); isValidToken again with 1,000 idle
#     connections held open.
#  3. nginx on loopback with the same certificate, key and TLS settings (tickets and a session
#     cache, client certificates optional) answering every POST with a static document, driven
#     by the same client just before: each command's rate and p99 are shown as ratios to
#     nginx's at the same concurrency, with each server's CPU time per request.
#
#  4. The client host (orvane-host-bench against the ECDSA server): fetching, caching and
#     publishing a 10,000-user, 1,000-group NSS profile, and getpwnam through libnss_orvane.so.2
#     from the published cache and through orvane-hostd's socket.
#  5. WebSocket channels (orvane-channels against the ECDSA server): 10,000 bound over TLS, the
#     server's threads and memory with them, and the delivery of one change to all.
#
# Figures are rough: the load tool and the server share the machine's cores.
#
# usage: scripts/bench.sh <build-dir>
# environment: LOAD_SECONDS (default 5) measured seconds per load run, LOAD_WARMUP (default 1),
#              BENCH_KEEP=<dir> keeps the raw results (JSON and the server's log) there,
#              BENCH_TLS_ONLY=1 skips the Google Benchmark programs,
#              BENCH_KEYS (default "rsa ecdsa") the server key types to run,
#              BENCH_ROUNDS (default 3) rounds of nginx, isValidToken and getToken per TLS row,
#              of which each row shows the run of median rate (the machine's noise moves
#              single runs by a tenth).
set -euo pipefail

build=${1:?usage: scripts/bench.sh <build-dir>}
build=$(cd "$build" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
load_seconds=${LOAD_SECONDS:-5}
load_warmup=${LOAD_WARMUP:-1}
bench_rounds=${BENCH_ROUNDS:-3}
clients_list=(1 8 64)

command -v jq >/dev/null || { echo "bench.sh: jq is required" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/orvane-bench.XXXXXX")
server_pid=

stop_server() {
  [ -n "$server_pid" ] || return 0
  if kill -0 "$server_pid" 2>/dev/null; then
    # SIGTERM: background jobs of a script ignore SIGINT.
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 100); do
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$server_pid" 2>/dev/null || true
  fi
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

cleanup() {
  stop_nginx
  stop_server
  if [ -n "${BENCH_KEEP:-}" ]; then
    mkdir -p "$BENCH_KEEP"
    cp -r "$work"/*.json "$work"/*.log "$BENCH_KEEP"/ 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

note() { echo "bench.sh: $*" >&2; }

# --- the table -----------------------------------------------------------------------------------

rows=()
row() { rows+=("$1"$'\t'"$2"$'\t'"$3"); }

# met <value> <op> <limit>: "met" or "MISSED" (op: le or ge).
met() {
  awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
    ok = (op == "le") ? (v <= l) : (v >= l)
    print ok ? "met" : "MISSED"
  }'
}

print_table() {
  local w1=9 w2=6 name figure target
  for r in "${rows[@]}"; do
    IFS=$'\t' read -r name figure target <<<"$r"
    ((${#name} > w1)) && w1=${#name}
    ((${#figure} > w2)) && w2=${#figure}
  done
  printf "%-${w1}s | %-${w2}s | %s\n" benchmark figure target
  printf "%s-+-%s-+-%s\n" "$(printf '%*s' "$w1" '' | tr ' ' -)" \
    "$(printf '%*s' "$w2" '' | tr ' ' -)" "$(printf '%*s' 24 '' | tr ' ' -)"
  for r in "${rows[@]}"; do
    IFS=$'\t' read -r name figure target <<<"$r"
    printf "%-${w1}s | %-${w2}s | %s\n" "$name" "$figure" "$target"
  done
}

# --- Google Benchmark programs -------------------------------------------------------------------

# run_gbench <program> <args...>: JSON results in $work/<program>.json; false when it failed.
run_gbench() {
  local program=$1
  shift
  [ -z "${BENCH_TLS_ONLY:-}" ] || return 1
  if [ ! -x "$build/$program" ]; then
    note "$program not built"
    row "$program" "not built" "-"
    return 1
  fi
  note "running $program"
  if ! "$build/$program" --benchmark_out="$work/$program.json" --benchmark_out_format=json \
    "$@" >"$work/$program.log" 2>&1; then
    note "$program failed (see its log)"
    tail -5 "$work/$program.log" >&2 || true
    row "$program" "failed" "-"
    return 1
  fi
}

# Every plain run of a program as a row with its time per operation (no target).
rows_plain() {
  local program=$1 name time unit
  while IFS=$'\t' read -r name time unit; do
    row "$name" "$(awk -v v="$time" 'BEGIN { printf (v >= 1000 ? "%.0f" : "%.4g"), v }') $unit/op" "-"
  done < <(jq -r '.benchmarks[] | select(.run_type == "iteration")
                  | [.name, (.real_time | tostring), .time_unit] | @tsv' "$work/$program.json")
}

# gfield <program> <run name prefix> <aggregate or ""> <field>: the field of the first match.
gfield() {
  jq -r --arg p "$2" --arg a "$3" --arg f "$4" '[.benchmarks[]
      | select((.run_name // .name) | startswith($p))
      | select(($a == "" and .run_type == "iteration") or .aggregate_name == $a)
      | .[$f]][0] // empty' "$work/$1.json"
}

fmt() { awk -v v="$1" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, v }'; }

if run_gbench filedb_bench --benchmark_min_time=0.05; then rows_plain filedb_bench; fi
if run_gbench hashtable_bench --benchmark_min_time=0.05; then rows_plain hashtable_bench; fi

if run_gbench processor_bench --benchmark_min_time=0.3 --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true; then
  rate=$(gfield processor_bench BM_DispatchIsValidToken median items_per_second)
  if [ -n "$rate" ]; then
    row "isValidToken dispatch (in-process)" "$(fmt "$rate" 0)/s" \
      ">= 300000/s ($(met "$rate" ge 300000))"
  fi
fi

if run_gbench users_bench; then
  users=$(gfield users_bench BM_StartupLoad/log:0 median users)
  users=$(fmt "${users:-0}" 0)
  for log in 0 1; do
    label="start-up, $users users"
    [ "$log" = 1 ] && label="$label, server logging"
    ms=$(gfield users_bench "BM_StartupLoad/log:$log" median real_time)
    rss=$(gfield users_bench "BM_StartupLoad/log:$log" median rss_mb)
    [ -n "$ms" ] || continue
    row "$label: time" "$(fmt "$ms" 0) ms" "<= 2000 ms ($(met "$ms" le 2000))"
    row "$label: RSS" "$(fmt "$rss" 1) MB" "<= 200 MB ($(met "$rss" le 200))"
  done
  for entry in "BM_UserInsert:userInsert median:p50_ms:1" "BM_UserEdit:userEdit median:p50_ms:1" \
    "BM_Authenticate:authenticate median:p50_us:200" \
    "BM_UserSearchOne:userSearch one name median:p50_ms:20"; do
    IFS=: read -r bm label field limit <<<"$entry"
    v=$(gfield users_bench "$bm" "" "$field")
    [ -n "$v" ] || continue
    unit=${field#p50_}
    row "$label (in-process)" "$(fmt "$v" 3) $unit" "<= $limit $unit ($(met "$v" le "$limit"))"
  done
fi

# --- the real server over TLS --------------------------------------------------------------------

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Ports are chosen below the kernel's ephemeral range, which the load clients' connections use up.
ephemeral_low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
[ "$ephemeral_low" -gt 12000 ] || ephemeral_low=32768
taken_ports=()
free_port() {
  local p
  for _ in $(seq 200); do
    p=$((10000 + RANDOM % (ephemeral_low - 10000)))
    [[ " ${taken_ports[*]} " == *" $p "* ]] && continue
    port_in_use "$p" && continue
    taken_ports+=("$p")
    echo "$p"
    return 0
  done
  return 1
}

# start_server <rsa|ecdsa>: orvaned on a fresh root with development certificates of that key
# type (the net clients' authority is RSA-2048 either way).
start_server() {
  local kind=$1 root=$work/root-$1
  mkdir -p "$root/current"
  "$build/orvane-bench-ca" "$root/current/ca" 2048 >"$work/orvane-bench-ca.log" 2>&1
  bash "$source_dir/scripts/dev-certs.sh" "--$kind" "$root/certs" >/dev/null
  certs=$root/certs
  http_port=$(free_port)
  monitor_port=$(free_port)
  https_port=$(free_port)
  ORVANE_ROOT=$root ORVANE_MACHINE_ID_FILE=$root/this ORVANE_HTTP_PORT=$http_port \
    ORVANE_METRICS_PORT=0 ORVANE_MONITOR_PORT=$monitor_port ORVANE_HTTPS_PORT=$https_port \
    "$build/orvaned" >>"$work/orvaned.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 300); do
    kill -0 "$server_pid" 2>/dev/null || { note "orvaned exited"; return 1; }
    port_in_use "$https_port" && return 0
    sleep 0.1
  done
  note "orvaned did not open its port"
  return 1
}

token_doc='<orvane><getToken domain="ORVANE"><u>Administrator</u><p>tolbrine</p></getToken></orvane>'
valid_doc='<orvane><isValidToken domain="ORVANE" token="{TOKEN}"/></orvane>'
# What nginx answers to every POST: a document of the size of orvaned's isValidToken answer.
nginx_answer='<?xml version="1.0" encoding="UTF-8"?><orvane><res code="0" msg="OK"/></orvane>'

# nginx on loopback with orvaned's certificate, key and TLS settings: TLS 1.2 and 1.3, ECDHE with
# AES-GCM or ChaCha20-Poly1305 in the server's order, session tickets and a session cache, client
# certificates asked for but optional.
tls12_ciphers=ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384
tls12_ciphers=$tls12_ciphers:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305
tls12_ciphers=$tls12_ciphers:ECDHE-RSA-CHACHA20-POLY1305

start_nginx() {
  local conf=$work/nginx/nginx.conf
  if ! command -v nginx >/dev/null; then
    note "nginx is not installed"
    return 1
  fi
  mkdir -p "$work/nginx/tmp"
  nginx_port=$(free_port)
  {
    echo "worker_processes $(nproc);"
    echo "pid $work/nginx/nginx.pid;"
    echo "error_log $work/nginx/error.log warn;"
    echo "events { worker_connections 4096; }"
    echo "http {"
    echo "  access_log off;"
    for t in client_body proxy fastcgi uwsgi scgi; do
      echo "  ${t}_temp_path $work/nginx/tmp/$t;"
    done
    echo "  server {"
    echo "    listen 127.0.0.1:$nginx_port ssl;"
    echo "    ssl_certificate $certs/orvane.pem;"
    echo "    ssl_certificate_key $certs/orvane.key;"
    echo "    ssl_protocols TLSv1.2 TLSv1.3;"
    echo "    ssl_ciphers $tls12_ciphers;"
    echo "    ssl_prefer_server_ciphers on;"
    echo "    ssl_session_cache shared:SSL:20m;"
    echo "    ssl_session_timeout 1h;"
    echo "    ssl_session_tickets on;"
    echo "    ssl_verify_client optional;"
    echo "    ssl_client_certificate $certs/orvane-ca.pem;"
    echo "    location / { default_type text/xml; return 200 '$nginx_answer'; }"
    echo "  }"
    echo "}"
  } >"$conf"
  nginx -p "$work/nginx" -c "$conf" -g 'daemon off;' >"$work/nginx.log" 2>&1 &
  nginx_pid=$!
  for _ in $(seq 100); do
    if ! kill -0 "$nginx_pid" 2>/dev/null; then
      note "nginx exited: $(tail -3 "$work/nginx.log")"
      nginx_pid=
      return 1
    fi
    port_in_use "$nginx_port" && return 0
    sleep 0.1
  done
  note "nginx did not open its port"
  return 1
}

stop_nginx() {
  [ -n "${nginx_pid:-}" ] || return 0
  kill -QUIT "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
}

# cpu_ticks <pid>: user and system clock ticks of the process and its children processes so far
# (nginx's workers are children of its master; orvaned's threads count in its own figures).
cpu_ticks() {
  local pids=("$1") p total=0
  pids+=($(cat /proc/"$1"/task/*/children 2>/dev/null || true))
  for p in "${pids[@]}"; do
    total=$((total + $(awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
clock_ticks=$(getconf CLK_TCK)

# measured <pid> <seconds counted> <command...>: the command's JSON result with the CPU time the
# process spent per request added as cpu_ms (requests taken as rps times the seconds counted,
# which include the warm-up).
measured() {
  local pid=$1 seconds=$2 before after out
  shift 2
  before=$(cpu_ticks "$pid")
  out=$("$@") || true
  after=$(cpu_ticks "$pid")
  [ -n "$out" ] || return 0
  jq -c --argjson t "$((after - before))" --argjson hz "$clock_ticks" --argjson s "$seconds" \
    '. + {cpu_ms: (if .rps > 0 then ($t * 1000 / $hz) / (.rps * $s) else 0 end)}' <<<"$out"
}

# load <port> <clients> <orvane-load args...>: one run's JSON on stdout, or nothing on failure.
load() {
  local port=$1 clients=$2
  shift 2
  "$build/orvane-load" --port "$port" --tls --threads "$clients" --duration "$load_seconds" \
    --warmup "$load_warmup" --json "$@" 2>>"$work/orvane-load.log" |
    tee -a "$work/orvane-load.json" || true
}

# The shared lean load client (one fresh TLS 1.2 connection per request, no resumption), built
# from its C source when found.
lean_src=${TLSLOAD_SRC:-$source_dir/../shared/tools/tlsload.c}
lean=
if [ -f "$lean_src" ] && cc -O2 -o "$work/tlsload" "$lean_src" -lssl -lcrypto -lpthread \
  2>"$work/tlsload-build.log"; then
  lean=$work/tlsload
else
  note "lean client not built from $lean_src: its rows are skipped"
fi

# lean_load <port> <clients> <request file>: the lean client's run as orvane-load's JSON fields.
# It reads every answer to its end but judges none: the request is checked once beforehand.
lean_load() {
  "$lean" 127.0.0.1 "$1" "$2" "$load_seconds" "$3" 2>>"$work/tlsload.log" |
    tee -a "$work/tlsload.out" | awk '{
      for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
      if (v["rate"] != "") printf "{\"rps\":%s,\"p50_ms\":%s,\"p99_ms\":%s,\"errors\":%s}\n",
        v["rate"], v["p50"], v["p99"], v["err"] }' || true
}

# post_file <file> <document>: an HTTP/1.0 POST of the document, as the lean client sends it.
post_file() {
  printf 'POST / HTTP/1.0\r\nHost: localhost\r\nContent-Type: text/xml\r\nContent-Length: %s\r\n\r\n%s' \
    "${#2}" "$2" >"$1"
}

# exchange <port> <request file>: the answer over TLS.
exchange() {
  openssl s_client -quiet -connect "127.0.0.1:$1" -ign_eof <"$2" 2>/dev/null || true
}

figure() {
  jq -r '"\(.rps|round) req/s, p50 \(.p50_ms) ms, p99 \(.p99_ms) ms, errors \(.errors)"
         + (if .cpu_ms then ", CPU \(.cpu_ms * 1000 | round / 1000) ms/req" else "" end)' <<<"$1"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# tls_row <label> <json> [<reference json> <lowest ratio> <what the reference is> [p99]]: with p99,
# the row's p99 must also be at most 1.5 times the reference's.
tls_row() {
  local label=$1 out=$2 r verdict target
  if [ -z "$out" ]; then
    row "$label" "failed" "-"
    return
  fi
  if [ $# -lt 5 ] || [ -z "$3" ]; then
    row "$label" "$(figure "$out")" "-"
    return
  fi
  r=$(ratio "$(jq .rps <<<"$out")" "$(jq .rps <<<"$3")")
  target="ratio $r to $5"
  if [ "$4" != 0 ]; then
    verdict="n/a"
    [ "$r" != "n/a" ] && verdict=$(met "$r" ge "$4")
    target="$target, >= $4 ($verdict)"
  fi
  if [ "${6:-}" = p99 ]; then
    r=$(ratio "$(jq .p99_ms <<<"$out")" "$(jq .p99_ms <<<"$3")")
    verdict="n/a"
    [ "$r" != "n/a" ] && verdict=$(met "$r" le 1.5)
    target="$target; p99 $r of its, <= 1.5 ($verdict)"
  fi
  if jq -e '.cpu_ms' <<<"$3" >/dev/null 2>&1; then
    target="$target; its CPU $(jq '.cpu_ms * 1000 | round / 1000' <<<"$3") ms/req"
  fi
  row "$label" "$(figure "$out")" "$target"
}

# median <json lines>: the run of median rate among the rounds' runs (the lower middle one for an
# even count), or nothing when none succeeded.
median() {
  jq -cs 'sort_by(.rps) | if length == 0 then empty else .[(length - 1) / 2 | floor] end' \
    <<<"$1" 2>/dev/null || true
}

# tls_rows <kind> <mode> <client>: nginx, isValidToken and getToken at 1, 8 and 64 clients, the
# reference run just before the commands at the same concurrency, in BENCH_ROUNDS rounds; each
# row shows the run of median rate. kind: rsa or ecdsa; mode:
# fresh (a full handshake per request) or resumed (each client thread resumes its session);
# client: orvane-load or lean.
tls_rows() {
  local kind=$1 mode=$2 client=$3 clients suffix reference valid token limit_valid limit_token
  local args=() title p99
  [ "$mode" = resumed ] && args=(--resume)
  title="$(tr a-z A-Z <<<"$kind") $mode, $client"
  for clients in "${clients_list[@]}"; do
    suffix="$clients client"
    [ "$clients" = 1 ] || suffix+="s"
    limit_valid=0.9 limit_token=0.8 p99=p99
    if [ "$clients" = 1 ]; then limit_valid=0 limit_token=0 p99=; fi
    reference= valid= token=
    for ((round = 1; round <= bench_rounds; round++)); do
      note "$title, $suffix (round $round of $bench_rounds)"
      if [ "$client" = lean ]; then
        [ -n "$nginx_pid" ] &&
          reference+=$(measured "$nginx_pid" "$load_seconds" lean_load "$nginx_port" "$clients" \
            "$work/valid.req")$'\n'
        valid+=$(measured "$server_pid" "$load_seconds" lean_load "$https_port" "$clients" \
          "$work/valid.req")$'\n'
        token+=$(measured "$server_pid" "$load_seconds" lean_load "$https_port" "$clients" \
          "$work/token.req")$'\n'
      else
        local counted=$((load_seconds + load_warmup))
        [ -n "$nginx_pid" ] &&
          reference+=$(measured "$nginx_pid" "$counted" load "$nginx_port" "$clients" \
            "${args[@]}" --doc "$valid_doc" --expect '<res code="0"')$'\n'
        valid+=$(measured "$server_pid" "$counted" load "$https_port" "$clients" "${args[@]}" \
          --token-doc "$token_doc" --doc "$valid_doc" --expect '<res code="0"')$'\n'
        token+=$(measured "$server_pid" "$counted" load "$https_port" "$clients" "${args[@]}" \
          --doc "$token_doc" --expect '<res code="0"')$'\n'
      fi
    done
    reference=$(median "$reference") valid=$(median "$valid") token=$(median "$token")
    tls_row "TLS nginx static answer, $title, $suffix" "$reference"
    tls_row "TLS isValidToken, $title, $suffix" "$valid" "$reference" "$limit_valid" nginx $p99
    tls_row "TLS getToken, $title, $suffix" "$token" "$reference" "$limit_token" nginx $p99
  done
}

# The documents of the lean client's runs, checked once: a token, and isValidToken answering 0.
lean_requests() {
  local answer token
  [ -n "$lean" ] || return 1
  post_file "$work/token.req" "$token_doc"
  answer=$(exchange "$https_port" "$work/token.req")
  token=$(sed -n 's/.*<token[^>]*>\([^<]*\)<\/token>.*/\1/p' <<<"$answer" | head -1)
  if [ -z "$token" ]; then
    note "lean client: no token from getToken"
    return 1
  fi
  post_file "$work/valid.req" "${valid_doc//\{TOKEN\}/$token}"
  answer=$(exchange "$https_port" "$work/valid.req")
  if [[ "$answer" != *'<res code="0"'* ]]; then
    note "lean client: isValidToken was not answered 0"
    return 1
  fi
}

# --- the client host -------------------------------------------------------------------------

# orvane-host-bench against the running server: a 10,000-user, 1,000-group profile fetched,
# cached and published by orvane-hostd's code, then getpwnam through libnss_orvane.so.2 from the
# published cache and through the daemon's socket, all on one core (the daemon's socket thread
# shares it with the caller).
host_rows() {
  if [ ! -x "$build/orvane-host-bench" ] || [ ! -e "$build/libnss_orvane.so.2" ]; then
    row "host side" "not built" "-"
    return
  fi
  local pin=() out
  command -v taskset >/dev/null && pin=(taskset -c 0)
  note "orvane-host-bench (provisions 10,000 users first)"
  mkdir -p "$work/host"
  out=$("${pin[@]}" "$build/orvane-host-bench" --port "$https_port" \
    --ca "$certs/orvane-ca.pem" --dir "$work/host" 2>>"$work/orvane-host-bench.log" |
    tee "$work/orvane-host-bench.json") || true
  if [ -z "$out" ]; then
    row "host side" "failed (see orvane-host-bench.log)" "-"
    return
  fi
  local ms users groups v
  ms=$(jq .fetch_ms_median <<<"$out")
  users=$(jq .users <<<"$out")
  groups=$(jq .groups <<<"$out")
  row "host: fetch, cache and publish $users users, 1000 groups ($groups entries)" \
    "$(fmt "$ms" 0) ms" "<= 2000 ms ($(met "$ms" le 2000))"
  v=$(jq .module_per_s <<<"$out")
  row "host: getpwnam, module on the published cache, 1 core" "$(fmt "$v" 0)/s" \
    ">= 500000/s ($(met "$v" ge 500000))"
  v=$(jq .libc_per_s <<<"$out")
  row "host: getpwnam_r of the C library through the module, 1 core" "$(fmt "$v" 0)/s" "-"
  v=$(jq .socket_per_s <<<"$out")
  row "host: getpwnam through the daemon's socket, 1 core" "$(fmt "$v" 0)/s" \
    ">= 20000/s ($(met "$v" ge 20000))"
}

# --- WebSocket channels ----------------------------------------------------------------------

# orvane-channels against the running server: 10,000 channels bound over TLS by one epoll thread,
# the server's threads and resident memory with them open, and the time five changes take to
# reach every channel.
channel_rows() {
  if [ ! -x "$build/orvane-channels" ]; then
    row "channels" "not built" "-"
    return
  fi
  local out v
  note "orvane-channels: 10,000 bound TLS channels, 5 changes"
  out=$("$build/orvane-channels" --https-port "$https_port" --tls --channels 10000 --changes 5 \
    --ca "$certs/orvane-ca.pem" --pid "$server_pid" \
    2>>"$work/orvane-channels.log" | tee "$work/orvane-channels.json") || true
  if [ -z "$out" ]; then
    row "channels" "failed (see orvane-channels.log)" "-"
    return
  fi
  v=$(jq .threads <<<"$out")
  row "channels: 10,000 bound over TLS, server threads" "$v" "< 64 ($(met "$v" le 63))"
  v=$(jq .rss_mb <<<"$out")
  row "channels: server resident memory with them open" "$v MB" "< 500 MB ($(met "$v" le 500))"
  v=$(jq .p99_ms <<<"$out")
  row "channels: one change to all 10,000, p99 of 5 changes" "$v ms" \
    "< 2000 ms ($(met "$v" le 2000)), $(jq .delivered <<<"$out")/$(jq .expected <<<"$out") delivered"
}

nginx_pid=
if [ -x "$build/orvaned" ] && [ -x "$build/orvane-load" ] && [ -x "$build/orvane-bench-ca" ]; then
  for kind in ${BENCH_KEYS:-rsa ecdsa}; do
    if ! start_server "$kind"; then
      row "TLS load, $kind" "server did not start" "-"
      stop_server
      continue
    fi
    start_nginx || row "TLS nginx reference, $kind" "nginx did not start" "-"
    modes=(fresh)
    [ "$kind" = rsa ] && modes+=(resumed)
    for mode in "${modes[@]}"; do
      tls_rows "$kind" "$mode" orvane-load
      # The lean client never resumes a session.
      if [ "$mode" = fresh ] && lean_requests; then tls_rows "$kind" "$mode" lean; fi
    done
    if [ "$kind" = rsa ]; then
      for clients in 8 64; do
        note "orvaned isValidToken, $clients clients, 1000 idle connections open"
        valid=$(load "$https_port" "$clients" --token-doc "$token_doc" --doc "$valid_doc" \
          --expect '<res code="0"')
        idle=$(load "$https_port" "$clients" --idle 1000 --token-doc "$token_doc" \
          --doc "$valid_doc" --expect '<res code="0"')
        tls_row "TLS isValidToken, RSA fresh, $clients clients, 1000 idle connections" "$idle" \
          "$valid" 0.9 "without them"
      done
    fi
    stop_nginx
    if [ "$kind" = ecdsa ]; then
      host_rows
      channel_rows
    fi
    rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status" 2>/dev/null || true)
    if [ -n "$rss_kb" ]; then
      row "orvaned RSS after the $kind runs" \
        "$(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MB" "-"
    fi
    stop_server
  done
else
  note "orvaned, orvane-load or orvane-bench-ca not built: no TLS runs"
  row "TLS load" "not built" "-"
fi

note "$(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); the load tool shares them" \
  "with the server: figures are rough"
print_table
