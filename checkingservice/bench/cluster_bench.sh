#!/usr/bin/env bash
# Benchmark of the shared-database deployment (not a test): 1,000,000 listed domains, the
# index load time from SQLite and from PostgreSQL (and each instance's resident memory), then
# throughput and latency through nginx with one and with two pvcheckd instances on the same
# PostgreSQL, in one run. Starts its own PostgreSQL (tests/checkingservice/with_postgres.sh)
# and stops everything it started; loopback only.
#
# usage: checkingservice/bench/cluster_bench.sh [BUILD_DIR]   (build/native by default;
#   targets pvcheckd pvcheckctl). Knobs: PV_BENCH_DOMAINS (1000000), PV_BENCH_URLS (200000),
#   PV_BENCH_SECONDS (10), PV_BENCH_CONNECTIONS (32), PV_BENCH_LOADS (3).
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
loads=${PV_BENCH_LOADS:-3}
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

echo "== index load at start, $loads times each (ms; resident memory after loading)"
for backend in sqlite postgresql; do
  db=$lite
  [ $backend = postgresql ] && db=$pg
  for i in $(seq "$loads"); do
    start "load-$backend-$i" "$db" --threads 1
    ms=$(sed -n 's/.*rules loaded: .*, \([0-9]*\) ms.*/\1/p' "$work/load-$backend-$i.log" | head -1)
    rss=$(awk '/VmRSS/ {print int($2 / 1024)}' "/proc/$pid/status")
    echo "$backend: $ms ms, $rss MiB"
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
for set in "1:$east" "2:$east $west"; do
  count=${set%%:*}
  # shellcheck disable=SC2086
  balance ${set#*:}
  wrk -t1 -c"$connections" -d2s --timeout 2s -s "$here/varied.lua" "http://127.0.0.1:$front" \
    -- "$work/urls.txt" > /dev/null  # warm-up: each instance's first password check
  wrk -t1 -c"$connections" -d"${seconds}s" --timeout 2s --latency -s "$here/varied.lua" \
    "http://127.0.0.1:$front" -- "$work/urls.txt" > "$work/wrk.out"
  echo "$count instance(s): $(sed -n 's/^PVBENCH //p' "$work/wrk.out")"
  kill "$nginx_pid"
  wait "$nginx_pid" || true
done
