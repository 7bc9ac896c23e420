#!/usr/bin/env bash
# Benchmark of the shared-database deployment (not a test): 1,000,000 listed domains, the
# index load time from SQLite and from PostgreSQL (and each instance's resident memory), then
# throughput and latency through nginx with one and with two pvcheckd instances on the same
# PostgreSQL, side by side in alternating rounds of one run; medians, ranges and the ratios
# round by round, with the load average before and after. Starts its own PostgreSQL
# (tests/checkingservice/with_postgres.sh) and stops everything it started; loopback only.
#
# usage: checkingservice/bench/cluster_bench.sh [BUILD_DIR]   (build/native by default;
#   targets pvcheckd pvcheckctl). Knobs: PV_BENCH_DOMAINS (1000000), PV_BENCH_URLS (200000),
#   PV_BENCH_SECONDS (10), PV_BENCH_CONNECTIONS (32), PV_BENCH_ROUNDS (3).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ -z "${PV_TEST_PG:-}" ]; then
  exec bash "$root/tests/checkingservice/with_postgres.sh" bash "$0" "$@"
fi
build=${1:-$root/build/native}
bin=$build/checkingservice
domains=${PV_BENCH_DOMAINS:-1000000}
url_count=${PV_BENCH_URLS:-200000}
seconds=${PV_BENCH_SECONDS:-10}
connections=${PV_BENCH_CONNECTIONS:-32}
rounds=${PV_BENCH_ROUNDS:-3}
for tool in "$bin/pvcheckd" "$bin/pvcheckctl"; do
  [ -x "$tool" ] || { echo "missing $tool" >&2; exit 2; }
done

work=$(mktemp -d /tmp/pvcluster-bench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2> /dev/null && wait "$pid" 2> /dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
results=$work/results  # lines: FIGURE ROUND VALUE
echo "== load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }
pg="postgresql:///pvbench?user=postgres&host=$PV_TEST_PG"

echo "== data: $domains domains, $url_count addresses"
python3 "$here/gen_data.py" "$work/domains.txt" "$work/urls.txt" "$domains" "$url_count"
lite=$work/rules.db
"$bin/pvcheckctl" --db "$lite" init
echo bench | "$bin/pvcheckctl" --db "$lite" account add bench --password-stdin
"$bin/pvcheckctl" --db "$lite" list create blocklist
"$bin/pvcheckctl" --db "$lite" list import blocklist "$work/domains.txt" --kind domain
"$bin/pvcheckctl" --db "$lite" list attach blocklist --global forbid
psql "postgresql:///postgres?user=postgres&host=$PV_TEST_PG" -qc "CREATE DATABASE pvbench"
t0=$(now)
"$bin/pvcheckctl" --db "$lite" copy-to "$pg" > /dev/null
echo "copy-to PostgreSQL (checked row for row): $(elapsed "$t0" "$(now)") s"

# start NAME DB [options]: starts an instance, sets $port; its log is $work/NAME.log.
start() {
  local name=$1 db=$2
  shift 2
  "$bin/pvcheckd" --db "$db" --port 0 --instance "$name" "$@" > "$work/$name.out" \
    2> "$work/$name.log" &
  pids+=($!)
  pid=$!
  for _ in $(seq 600); do
    grep -q "listening on" "$work/$name.out" 2> /dev/null && break
    sleep 0.1
  done
  port=$(sed -n 's/.*listening on http:[^:]*:\([0-9]*\).*/\1/p' "$work/$name.out")
  [ -n "$port" ] || { cat "$work/$name.log" >&2; exit 1; }
}

echo "== index load at start, $rounds rounds alternating which back end goes first"
for round in $(seq "$rounds"); do
  order="sqlite postgresql"
  [ $((round % 2)) -eq 0 ] && order="postgresql sqlite"
  for backend in $order; do
    db=$lite
    [ $backend = postgresql ] && db=$pg
    start "load-$backend-$round" "$db" --threads 1
    ms=$(sed -n 's/.*rules loaded: .*, \([0-9]*\) ms.*/\1/p' "$work/load-$backend-$round.log" |
      head -1)
    rss=$(awk '/VmRSS/ {print int($2 / 1024)}' "/proc/$pid/status")
    echo "round $round, $backend: $ms ms, $rss MiB"
    echo "load_$backend $round $ms" >> "$results"
    echo "rss_$backend $round $rss" >> "$results"
    kill "$pid"
    wait "$pid" || true
  done
done

echo "== through nginx: $connections connections, ${seconds} s, instances on PostgreSQL"
start east "$pg" --threads 1 --quiet
east=$port
start west "$pg" --threads 1 --quiet
west=$port
balance() {  # balance PORT...: runs nginx in front of the given instances, sets $front
  front=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  local servers=""
  for p in "$@"; do servers+="server 127.0.0.1:$p; "; done
  mkdir -p "$work/nginx"
  cat > "$work/nginx/nginx.conf" << CONF
daemon off; worker_processes 1; pid $work/nginx/pid; error_log $work/nginx/error.log;
events { worker_connections 1024; }
http { access_log off; client_body_temp_path $work/nginx/b; proxy_temp_path $work/nginx/p;
  fastcgi_temp_path $work/nginx/f; uwsgi_temp_path $work/nginx/u; scgi_temp_path $work/nginx/s;
  upstream checkers { $servers keepalive 64; }
  server { listen 127.0.0.1:$front;
    location / { proxy_pass http://checkers; proxy_http_version 1.1;
                 proxy_set_header Connection ""; } } }
CONF
  nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" &
  nginx_pid=$!
  pids+=($nginx_pid)
  sleep 0.5
}
for round in $(seq "$rounds"); do
  order="1 2"
  [ $((round % 2)) -eq 0 ] && order="2 1"
  for count in $order; do
    if [ "$count" = 1 ]; then balance "$east"; else balance "$east" "$west"; fi
    wrk -t1 -c"$connections" -d2s --timeout 2s -s "$here/varied.lua" "http://127.0.0.1:$front" \
      -- "$work/urls.txt" > /dev/null  # warm-up: each instance's first password check
    wrk -t1 -c"$connections" -d"${seconds}s" --timeout 2s --latency -s "$here/varied.lua" \
      "http://127.0.0.1:$front" -- "$work/urls.txt" > "$work/wrk.out"
    line=$(sed -n 's/^PVBENCH //p' "$work/wrk.out")
    echo "round $round, $count instance(s): $line"
    for field in qps p50_ms p99_ms errors; do
      echo "i${count}_$field $round $(sed -n "s/.*$field=\([0-9.]*\).*/\1/p" <<< "$line")" \
        >> "$results"
    done
    kill "$nginx_pid"
    wait "$nginx_pid" || true
  done
done
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

python3 - "$results" << 'SUMMARY'
import collections, statistics, sys
values = collections.defaultdict(dict)
for line in open(sys.argv[1]):
    figure, round_, value = line.split()
    values[figure][int(round_)] = float(value)
def span(figure, digits=0):
    v = list(values[figure].values())
    return f"{statistics.median(v):,.{digits}f} [{min(v):,.{digits}f}-{max(v):,.{digits}f}]"
def ratio(top, bottom):
    r = [values[top][k] / values[bottom][k] for k in values[top] if values[bottom].get(k)]
    return f"{statistics.median(r):.2f}x [{min(r):.2f}-{max(r):.2f}]"
print("\n| figure, median [range] | SQLite | PostgreSQL | PostgreSQL / SQLite, round by round |")
print("|---|---|---|---|")
print(f"| index load at start, ms | {span('load_sqlite')} | {span('load_postgresql')} "
      f"| {ratio('load_postgresql', 'load_sqlite')} |")
print(f"| resident memory after loading, MiB | {span('rss_sqlite')} | {span('rss_postgresql')} "
      f"| {ratio('rss_postgresql', 'rss_sqlite')} |")
print("\n| through nginx, median [range] | one instance | two instances "
      "| two / one, round by round |")
print("|---|---|---|---|")
print(f"| queries/s | {span('i1_qps')} | {span('i2_qps')} | {ratio('i2_qps', 'i1_qps')} |")
for field, name in (("p50_ms", "p50, ms"), ("p99_ms", "p99, ms")):
    print(f"| {name} | {span('i1_' + field, 2)} | {span('i2_' + field, 2)} "
          f"| {ratio('i2_' + field, 'i1_' + field)} |")
print(f"| errors | {span('i1_errors')} | {span('i2_errors')} | |")
SUMMARY
