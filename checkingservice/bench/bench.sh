#!/usr/bin/env bash
# Benchmark of the checking service (not a test): 1,000,000 rules, loopback HTTP load from wrk
# with varied addresses, then the rule lookup alone against squidGuard on the same domain list
# and address stream. Bounded: a few minutes on a 2-core machine, loopback traffic only.
#
# usage: checkingservice/bench/bench.sh [BUILD_DIR]
#   BUILD_DIR holds checkingservice/pvcheckd, pvcheckctl and pvcheck_lookup (bench preset:
#   cmake --preset bench -B build/bench && cmake --build build/bench --target pvcheckd
#   pvcheckctl pvcheck_lookup). Knobs: PV_BENCH_DOMAINS (1000000), PV_BENCH_URLS (200000),
#   PV_BENCH_SECONDS (10), PV_BENCH_CONNECTIONS (32), PV_BENCH_THREADS ("1 2": service
#   thread counts to measure).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:-$root/build/bench}
bin=$build/checkingservice
domains=${PV_BENCH_DOMAINS:-1000000}
url_count=${PV_BENCH_URLS:-200000}
seconds=${PV_BENCH_SECONDS:-10}
connections=${PV_BENCH_CONNECTIONS:-32}
thread_counts=${PV_BENCH_THREADS:-1 2}

for tool in "$bin/pvcheckd" "$bin/pvcheckctl" "$bin/pvcheck_lookup"; do
  [ -x "$tool" ] || { echo "missing $tool (build the bench preset first)" >&2; exit 2; }
done
command -v wrk > /dev/null || { echo "wrk is not installed" >&2; exit 2; }
command -v squidGuard > /dev/null || { echo "squidGuard is not installed" >&2; exit 2; }

work=$(mktemp -d /tmp/pvcheck-bench.XXXXXX)
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2> /dev/null; then
    kill "$server_pid"
    wait "$server_pid" || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.3f}')"; }

echo "== data: $domains domains, $url_count addresses"
python3 "$here/gen_data.py" "$work/domains.txt" "$work/urls.txt" "$domains" "$url_count"

echo "== database"
db=$work/rules.db
ctl() { "$bin/pvcheckctl" --db "$db" "$@"; }
ctl init
ctl account add bench --password bench
ctl list create blocklist
t0=$(now)
ctl list import blocklist "$work/domains.txt" --kind domain
t1=$(now)
echo "import took $(elapsed "$t0" "$t1") s"
ctl list attach blocklist --global forbid
# A few rules of the other kinds, so that every lookup path is taken.
ctl rule add --global forbid host www.exact-host.example > /dev/null
ctl rule add --global allow prefix "$(sed -n 2p "$work/domains.txt")/allowed/" > /dev/null
ctl rule add --account bench forbid exact http://www.example.com/ > /dev/null

# The load generator shares the 2 cores with the service: one serving thread leaves wrk a
# core of its own, two compete with it. Both are measured.
for threads in $thread_counts; do
  echo "== service under wrk: $connections connections, ${seconds}s, $threads service thread(s)"
  "$bin/pvcheckd" --db "$db" --port 0 --threads "$threads" --quiet > "$work/server.out" &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on" "$work/server.out" 2> /dev/null && break
    sleep 0.1
  done
  url=$(sed -n 's/.*listening on \(http:[^ ]*\)/\1/p' "$work/server.out")
  base=${url%/cgi-bin/checker}
  [ -n "$base" ] || { echo "the service did not start" >&2; exit 1; }
  # Warm-up, not counted: the account's first query waits for its password check.
  wrk -t1 -c"$connections" -d2s --timeout 2s -s "$here/varied.lua" "$base" -- "$work/urls.txt" \
    > /dev/null
  wrk -t1 -c"$connections" -d"${seconds}s" --timeout 2s --latency -s "$here/varied.lua" "$base" \
    -- "$work/urls.txt" | tee "$work/wrk.out"
  sed -n "s/^PVBENCH /threads=$threads /p" "$work/wrk.out" >> "$work/wrk.summary"
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=
done

echo "== rule lookup alone: pvcheck_lookup and squidGuard, same domains, same address stream"
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
t0=$(now)
squidGuard -c "$work/sg/squidGuard.conf" -C all
t1=$(now)
echo "squidGuard database built in $(elapsed "$t0" "$t1") s"
sed 's|$| 127.0.0.1/- - GET|' "$work/urls.txt" > "$work/stream.txt"
: > "$work/empty.txt"

run_timed() {  # name input output command...
  local input=$1 output=$2
  shift 2
  local a b
  a=$(now)
  "$@" < "$input" > "$output"
  b=$(now)
  elapsed "$a" "$b"
}
# Each program once without input (start-up: loading its rules) and once with the stream;
# the difference is the time spent on the lookups themselves.
sg=(squidGuard -c "$work/sg/squidGuard.conf")
pv=("$bin/pvcheck_lookup" --db "$db")
sg_start=$(run_timed "$work/empty.txt" /dev/null "${sg[@]}")
sg_full=$(run_timed "$work/stream.txt" "$work/sg.answers" "${sg[@]}")
pv_start=$(run_timed "$work/empty.txt" /dev/null "${pv[@]}" 2> /dev/null)
pv_full=$(run_timed "$work/stream.txt" "$work/pv.answers" "${pv[@]}" 2> "$work/pv.err")
cat "$work/pv.err"
same=$(paste -d'\n' "$work/sg.answers" "$work/pv.answers" | paste - - | awk -F'\t' '$1 == $2' | wc -l)
forbidden=$(grep -c '^OK' "$work/pv.answers" || true)

python3 - "$work/wrk.summary" "$url_count" "$sg_start" "$sg_full" "$pv_start" "$pv_full" \
  "$same" "$forbidden" << 'PY'
import re, sys
wrk_summary, n, sg_start, sg_full, pv_start, pv_full, same, forbidden = sys.argv[1:]
n = int(n)
sg = float(sg_full) - float(sg_start)
pv = float(pv_full) - float(pv_start)
print("== summary")
for line in open(wrk_summary):
    fields = dict(kv.split("=") for kv in line.split())
    print(f"service, {fields['threads']} thread(s): {float(fields['qps']):,.0f} queries/s, "
          f"p50 {fields['p50_ms']} ms, p99 {fields['p99_ms']} ms, max {fields['max_ms']} ms, "
          f"errors {fields['errors']}")
print(f"lookup, {n} addresses ({forbidden} forbidden), start-up excluded:")
print(f"  squidGuard      {sg:7.3f} s  {sg / n * 1e6:7.2f} us/address  (start-up {float(sg_start):.3f} s)")
print(f"  pvcheck_lookup  {pv:7.3f} s  {pv / n * 1e6:7.2f} us/address  (start-up {float(pv_start):.3f} s)")
print(f"  ratio squidGuard / pvcheck_lookup: {sg / pv:.2f}" if pv > 0 else "  ratio: n/a")
print(f"  verdicts agree on {same} of {n} addresses")
PY
if [ "$same" != "$url_count" ]; then
  echo "addresses judged differently (address, squidGuard, pvcheck_lookup):"
  paste "$work/urls.txt" "$work/sg.answers" "$work/pv.answers" | awk -F'\t' '$2 != $3' | head -5
fi
