#!/usr/bin/env bash
# Benchmark of the checking service (not a test). Every figure is measured next to its anchor in
# the same run, in alternating rounds (the machine is shared and noisy):
#   - list import of the 1,000,000-line file      next to squidGuard building its database
#   - rule lookup alone (pvcheck_lookup)           next to squidGuard on the same address stream
#   - the service under wrk, varied addresses       next to nginx answering a fixed "000"
#   - the index build at start and after a change while wrk keeps asking (errors counted)
#   - the service's peak resident set (VmHWM): after start-up, after the wrk run (the first
#     query of the account runs an Argon2id check), and during a rebuild under load
# and prints a table of medians, ranges and ratios. Bounded: a few minutes on a 2-core machine,
# loopback traffic only.
#
# usage: checkingservice/bench/bench.sh [BUILD_DIR]
#   BUILD_DIR holds checkingservice/pvcheckd, pvcheckctl and pvcheck_lookup (bench preset:
#   cmake --preset bench && cmake --build build/bench --target pvcheckd pvcheckctl
#   pvcheck_lookup). Knobs: PV_BENCH_DOMAINS (1000000), PV_BENCH_URLS (200000),
#   PV_BENCH_ROUNDS (3), PV_BENCH_SECONDS (10), PV_BENCH_CONNECTIONS (32), PV_BENCH_THREADS
#   ("1 2": serving threads, and nginx workers, to measure), PV_BENCH_QUERY_LOG (1: the
#   service keeps its query log and nginx an access log buffered the same way; 0: neither).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/bench}
bin=$build/checkingservice
domains=${PV_BENCH_DOMAINS:-1000000}
url_count=${PV_BENCH_URLS:-200000}
rounds=${PV_BENCH_ROUNDS:-3}
seconds=${PV_BENCH_SECONDS:-10}
connections=${PV_BENCH_CONNECTIONS:-32}
thread_counts=${PV_BENCH_THREADS:-1 2}
query_log=${PV_BENCH_QUERY_LOG:-1}

for tool in "$bin/pvcheckd" "$bin/pvcheckctl" "$bin/pvcheck_lookup"; do
  [ -x "$tool" ] || { echo "missing $tool (build the bench preset first)" >&2; exit 2; }
done
for tool in wrk squidGuard nginx; do
  command -v "$tool" > /dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "$tool is not installed (scripts/bootstrap.sh)" >&2; exit 2; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/pvcheck-bench.XXXXXX)
chmod 755 "$work"  # nginx workers run as nobody
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2> /dev/null; then
    kill "$server_pid"
    wait "$server_pid" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

results=$work/results.txt  # lines: FIGURE ROUND VALUE
: > "$results"
note() { echo "$1 $2 $3" >> "$results"; }
now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.4f}')"; }
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
hwm_kib() { sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }
hwm_mib() { awk -v kib="$(hwm_kib "$1")" 'BEGIN { printf "%.1f", kib / 1024 }'; }
stop_server() {
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=
}

echo "== data: $domains domains, $url_count addresses"
python3 "$here/gen_data.py" "$work/domains.txt" "$work/urls.txt" "$domains" "$url_count"
sed 's|$| 127.0.0.1/- - GET|' "$work/urls.txt" > "$work/stream.txt"
: > "$work/empty.txt"

# squidGuard reads the same domains from its own plain list.
mkdir -p "$work/sg/db/blocklist" "$work/sg/log"
grep -v '^#' "$work/domains.txt" > "$work/sg/db/blocklist/domains"
cat > "$work/sg/squidGuard.conf" << CONF
dbhome $work/sg/db
logdir $work/sg/log
dest blocklist {
  domainlist blocklist/domains
}
acl {
  default {
    pass !blocklist all
    redirect http://blocked.invalid/
  }
}
CONF

db=$work/rules.db
make_db() {  # round: a fresh database; the import alone is timed
  rm -f "$db" "$db-wal" "$db-shm"
  local ctl=("$bin/pvcheckctl" --db "$db")
  "${ctl[@]}" init
  "${ctl[@]}" account add bench --password bench > /dev/null
  "${ctl[@]}" list create blocklist
  local a b
  a=$(now)
  "${ctl[@]}" list import blocklist "$work/domains.txt" --kind domain > "$work/import.out"
  b=$(now)
  note import "$1" "$(elapsed "$a" "$b")"
  "${ctl[@]}" list attach blocklist --global forbid
  # A few rules of the other kinds, so that every lookup path is taken.
  "${ctl[@]}" rule add --global forbid host www.exact-host.example > /dev/null
  "${ctl[@]}" rule add --global allow prefix "$(sed -n 2p "$work/domains.txt")/allowed/" \
    > /dev/null
  "${ctl[@]}" rule add --account bench forbid exact http://www.example.com/ > /dev/null
}
sg_build() {
  rm -f "$work/sg/db/blocklist/"*.db
  local a b
  a=$(now)
  squidGuard -c "$work/sg/squidGuard.conf" -C all
  b=$(now)
  note sg_build "$1" "$(elapsed "$a" "$b")"
}

echo "== list import next to squidGuard's database build, $rounds rounds"
for round in $(seq "$rounds"); do
  if [ $((round % 2)) = 1 ]; then make_db "$round"; sg_build "$round"
  else sg_build "$round"; make_db "$round"; fi
done
cat "$work/import.out"

run_timed() {  # input output command...: seconds
  local input=$1 output=$2
  shift 2
  local a b
  a=$(now)
  "$@" < "$input" > "$output"
  b=$(now)
  elapsed "$a" "$b"
}
# squidGuard once without input (start-up: opening its database) and once with the stream; the
# difference is the time spent on the lookups themselves.
lookup_round() {  # round which
  local round=$1 which=$2 cmd start full
  if [ "$which" = sg ]; then
    cmd=(squidGuard -c "$work/sg/squidGuard.conf")
    start=$(run_timed "$work/empty.txt" /dev/null "${cmd[@]}" 2> /dev/null)
    full=$(run_timed "$work/stream.txt" "$work/sg.answers" "${cmd[@]}" 2> /dev/null)
    note lookup_sg "$round" "$(python3 -c "print(($full - $start) / $url_count * 1e6)")"
  else
    cmd=("$bin/pvcheck_lookup" --db "$db")
    # Our start-up (the index build) varies by more than the whole stream takes, so the
    # stream is timed from inside: from the index being ready to the last answer written.
    "${cmd[@]}" < "$work/stream.txt" > "$work/pv.answers" 2> "$work/pv.err"
    note lookup_pv "$round" \
      "$(sed -n 's/.* \([0-9]*\) ns per line.*/\1/p' "$work/pv.err")e-3"
    # Parsing and deciding alone, without the line protocol.
    "${cmd[@]}" --buffered < "$work/stream.txt" > /dev/null 2> "$work/pv-buffered.err"
    note lookup_pv_inner "$round" \
      "$(sed -n 's/.* \([0-9]*\) ns each.*/\1/p' "$work/pv-buffered.err")e-3"
  fi
}
echo "== rule lookup alone: pvcheck_lookup and squidGuard, same domains and address stream"
for round in $(seq "$rounds"); do
  if [ $((round % 2)) = 1 ]; then lookup_round "$round" pv; lookup_round "$round" sg
  else lookup_round "$round" sg; lookup_round "$round" pv; fi
done
cat "$work/pv.err" "$work/pv-buffered.err"
# Same verdicts: where squidGuard differs, a plain reading of the rules must side with us.
verdicts_ok=1
python3 "$here/referee.py" "$work/domains.txt" "$work/urls.txt" "$work/sg.answers" \
  "$work/pv.answers" | tee "$work/verdicts.txt" || verdicts_ok=0

wrk_run() {  # base duration out
  wrk -t1 -c"$connections" -d"$2" --timeout 2s --latency -s "$here/varied.lua" "$1" \
    -- "$work/urls.txt" > "$3"
}
wrk_note() {  # figure round wrk-output
  local line
  line=$(grep '^PVBENCH ' "$3")
  echo "   $1: ${line#PVBENCH }"
  for field in qps p50_ms p99_ms errors; do
    note "${1}_$field" "$2" "$(echo "$line" | sed -n "s/.* $field=\([^ ]*\).*/\1/p")"
  done
}
start_service() {  # threads
  local log_flag=()
  [ "$query_log" = 1 ] || log_flag=(--no-query-log)
  "$bin/pvcheckd" --db "$db" --port 0 --threads "$1" "${log_flag[@]}" \
    > "$work/server.out" 2> "$work/server.err" &
  server_pid=$!
  for _ in $(seq 1200); do
    grep -q "listening on" "$work/server.out" 2> /dev/null && break
    kill -0 "$server_pid" 2> /dev/null || break
    sleep 0.05
  done
  url=$(sed -n 's/.*listening on \(http:[^ ]*\)/\1/p' "$work/server.out")
  base=${url%/cgi-bin/checker}
  if [ -z "$base" ]; then
    local status=running
    kill -0 "$server_pid" 2> /dev/null || { wait "$server_pid" && status=0 || status=$?; }
    cat "$work/server.out" "$work/server.err" >&2
    echo "the service did not start (status $status)" >&2
    exit 1
  fi
}
build_ms() {  # nth "rules loaded" line of the service log: its build time
  sed -n 's/.*rules loaded: .* rules, \([0-9]*\) ms.*/\1/p' "$work/server.err" | sed -n "${1}p"
}
read_ms() {  # the same line: of that, the time spent reading the store
  sed -n 's/.*rules loaded: .* (reading \([0-9]*\) ms.*/\1/p' "$work/server.err" | sed -n "${1}p"
}
service_round() {  # threads round
  local threads=$1 round=$2 tag="t$1"
  start_service "$threads"
  note "${tag}_build_start" "$round" "$(build_ms 1)"
  local read_start
  read_start=$(read_ms 1)
  note "${tag}_read_start" "$round" "${read_start:-nan}"
  note "${tag}_rss_start" "$round" "$(hwm_mib "$server_pid")"
  # Warm-up, not counted: the account's first query waits for its password check.
  wrk_run "$base" 2s /dev/null
  wrk_run "$base" "${seconds}s" "$work/wrk.out"
  wrk_note "${tag}_pv" "$round" "$work/wrk.out"
  note "${tag}_rss_served" "$round" "$(hwm_mib "$server_pid")"
  # A change while wrk keeps asking: the index is rebuilt off to the side and swapped in. The
  # high-water mark starts again from here, so that the rebuild's own peak shows.
  local rss_reset=1
  echo 5 2> /dev/null > "/proc/$server_pid/clear_refs" || rss_reset=0
  wrk_run "$base" 6s "$work/wrk-change.out" &
  local wrk_pid=$!
  sleep 1
  "$bin/pvcheckctl" --db "$db" rule add --global forbid host "changed-$round.example" > /dev/null
  wait "$wrk_pid"
  local rebuilt
  rebuilt=$(build_ms 2)
  [ -n "$rebuilt" ] || { echo "   no rebuild seen during the run" >&2; rebuilt=nan; }
  note "${tag}_build_change" "$round" "$rebuilt"
  local reread
  reread=$(read_ms 2)
  note "${tag}_read_change" "$round" "${reread:-nan}"
  wrk_note "${tag}_change" "$round" "$work/wrk-change.out"
  if [ "$rss_reset" = 1 ]; then
    note "${tag}_rss_change" "$round" "$(hwm_mib "$server_pid")"
  else
    note "${tag}_rss_change" "$round" nan
  fi
  stop_server
}
nginx_round() {  # threads round
  local threads=$1 round=$2 port access="access_log off;"
  port=$(free_port)
  [ "$query_log" = 1 ] && access="access_log $work/nginx.access combined buffer=64k flush=1s;"
  mkdir -p "$work/nginx"
  # The same reply as the service's: status, body, Content-Type, Cache-Control, Pragma.
  cat > "$work/nginx/nginx.conf" << CONF
worker_processes $threads;
daemon off;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 4096; }
http {
  $access
  keepalive_requests 1000000;
  keepalive_timeout 15s;
  server_tokens off;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$port;
    location / {
      default_type text/plain;
      add_header Cache-Control no-store always;
      add_header Pragma no-cache always;
      return 200 "000";
    }
  }
}
CONF
  "$nginx_bin" -c "$work/nginx/nginx.conf" -p "$work/nginx" 2> "$work/nginx/start.err" &
  server_pid=$!
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.2)" \
      2> /dev/null && break
    sleep 0.05
  done
  wrk_run "http://127.0.0.1:$port" 2s /dev/null
  wrk_run "http://127.0.0.1:$port" "${seconds}s" "$work/wrk.out"
  wrk_note "t${threads}_nginx" "$round" "$work/wrk.out"
  stop_server
}

for threads in $thread_counts; do
  echo "== service and nginx under wrk: $connections connections, ${seconds}s, $threads" \
    "thread(s)/worker(s), $rounds rounds"
  for round in $(seq "$rounds"); do
    if [ $((round % 2)) = 1 ]; then service_round "$threads" "$round"; nginx_round "$threads" "$round"
    else nginx_round "$threads" "$round"; service_round "$threads" "$round"; fi
  done
done

python3 "$here/summary.py" "$results" "$thread_counts"
head -1 "$work/verdicts.txt"
[ "$verdicts_ok" = 1 ] || { echo "pvcheck_lookup gave wrong verdicts" >&2; exit 1; }
