#!/usr/bin/env bash
# Runs the benchmarks of a build directory and prints one table: benchmark | figure | target.
#
#  1. The Google Benchmark programs (filedb_bench, hashtable_bench, processor_bench, users_bench)
#     with short settings.
#  2. The real orvaned on a temporary root (free ports, development certificates, a 2048-bit
#     certificate authority made by orvane-bench-ca), loaded by orvane-load over TLS 1.2 with a
#     full handshake per request: isValidToken and getToken at 1, 8 and 64 clients.
#
# Figures are rough: the load tool and the server share the machine's cores.
#
# usage: scripts/bench.sh <build-dir>
# environment: LOAD_SECONDS (default 5) measured seconds per load run, LOAD_WARMUP (default 1),
#              BENCH_KEEP=<dir> keeps the raw results (JSON and the server's log) there.
set -euo pipefail

build=${1:?usage: scripts/bench.sh <build-dir>}
build=$(cd "$build" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
load_seconds=${LOAD_SECONDS:-5}
load_warmup=${LOAD_WARMUP:-1}
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

taken_ports=()
free_port() {
  local p
  for _ in $(seq 200); do
    p=$((20000 + RANDOM % 40000))
    [[ " ${taken_ports[*]} " == *" $p "* ]] && continue
    port_in_use "$p" && continue
    taken_ports+=("$p")
    echo "$p"
    return 0
  done
  return 1
}

start_server() {
  local root=$work/root
  mkdir -p "$root/current"
  "$build/orvane-bench-ca" "$root/current/ca" 2048 >"$work/orvane-bench-ca.log" 2>&1
  bash "$source_dir/scripts/dev-certs.sh" "$root/certs" >/dev/null
  http_port=$(free_port)
  monitor_port=$(free_port)
  https_port=$(free_port)
  ORVANE_ROOT=$root ORVANE_MACHINE_ID_FILE=$root/this ORVANE_HTTP_PORT=$http_port \
    ORVANE_MONITOR_PORT=$monitor_port ORVANE_HTTPS_PORT=$https_port \
    "$build/orvaned" >"$work/orvaned.log" 2>&1 &
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

# load_row <label> <clients> <orvane-load args...>
load_row() {
  local label="$1, $2 client" clients=$2 out
  shift 2
  [ "$clients" = 1 ] || label+="s"
  note "orvane-load: $label"
  if ! out=$("$build/orvane-load" --port "$https_port" --tls --threads "$clients" \
    --duration "$load_seconds" --warmup "$load_warmup" --json "$@" 2>>"$work/orvane-load.log"); then
    row "TLS $label" "failed" "absolute"
    return 0
  fi
  echo "$out" >>"$work/orvane-load.json"
  row "TLS $label" \
    "$(jq -r '"\(.rps|round) req/s, p50 \(.p50_ms) ms, p99 \(.p99_ms) ms, errors \(.errors)"' \
      <<<"$out")" "absolute (nginx: later)"
}

if [ -x "$build/orvaned" ] && [ -x "$build/orvane-load" ] && [ -x "$build/orvane-bench-ca" ]; then
  if start_server; then
    for clients in "${clients_list[@]}"; do
      load_row isValidToken "$clients" --token-doc "$token_doc" --doc "$valid_doc" \
        --expect '<res code="0"'
    done
    for clients in "${clients_list[@]}"; do
      load_row getToken "$clients" --doc "$token_doc" --expect '<res code="0"'
    done
  else
    row "TLS load" "server did not start" "-"
  fi

  rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status" 2>/dev/null || true)
  if [ -n "$rss_kb" ]; then
    row "orvaned RSS after the TLS runs" "$(awk -v k="$rss_kb" 'BEGIN { printf "%.1f", k / 1024 }') MB" "-"
  fi

  # ----------------------------------------------------------------------------------------------
  # NGINX COMPARISON: not yet. The same orvane-load runs (TLS 1.2, full handshake, 1/8/64
  # clients, LOAD_SECONDS each) against nginx with the same certificate, answering a POST of the
  # same size with a static body, belong here; each row's target then becomes the ratio to nginx.
  # ----------------------------------------------------------------------------------------------

  stop_server
else
  note "orvaned, orvane-load or orvane-bench-ca not built: no TLS runs"
  row "TLS load" "not built" "-"
fi

note "$(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg); the load tool shares them" \
  "with the server: figures are rough"
print_table
