#!/usr/bin/env bash
# run-fuzzer.sh FUZZER CORPUS_DIR SEEDS_DIR SECONDS: a bounded libFuzzer run; fails on any crash,
# leak or sanitizer report.
set -euo pipefail
fuzzer=$1 corpus=$2 seeds=$3 seconds=$4
rm -rf "$corpus"; mkdir -p "$corpus"
[ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/ 2>/dev/null || true
cd "$(dirname "$corpus")"
exec "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 "$corpus"
