#!/usr/bin/env bash
# The test scripts' waits (tests/win/wait.sh) under the same shell options as the scripts: a
# file that appears late is waited for, one that never appears or a writer that dies ends the
# wait in bounded time with a failure status, never by ending the script.
set -euo pipefail
source "$(dirname "$0")/../win/wait.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
listening='s|^pvcheckd: listening on \(http://[^/]*\)/.*|\1|p'

# The writer creates its log only after a while (as a background service may).
(sleep 0.5; echo "starting" >"$work/late.log"; sleep 0.3
 echo "pvcheckd: listening on http://127.0.0.1:4242/cgi-bin/checker" >>"$work/late.log") &
got=$(wait_for_match "$work/late.log" "$listening" 10 $!) || fail "late log not seen"
[ "$got" = "http://127.0.0.1:4242" ] || fail "read '$got'"
wait

# The writer dies without writing: the wait ends at once, not after its full time.
(exit 3) &
pid=$!
start=$SECONDS
if wait_for_match "$work/never.log" "$listening" 30 "$pid"; then fail "matched nothing"; fi
[ $((SECONDS - start)) -le 3 ] || fail "waited on a dead writer"

# No writer at all: bounded by its own time.
start=$SECONDS
if wait_for_match "$work/never.log" "$listening" 1; then fail "matched nothing"; fi
if wait_for_file "$work/never.port" 1; then fail "empty port file accepted"; fi
[ $((SECONDS - start)) -le 4 ] || fail "waits overran"

(sleep 0.4; echo 1234 >"$work/port.tmp"; mv "$work/port.tmp" "$work/port") &
wait_for_file "$work/port" 10 $! || fail "port file not seen"
[ "$(cat "$work/port")" = 1234 ] || fail "port file read early"
wait
echo "wait_test: all checks passed"
