#!/usr/bin/env bash
# Emulator for the 64-bit Windows tree: runs a Windows program under wine64 in the test run's
# private prefix (PV_WINE_DIR, set by CTest; a folder beside the build tree otherwise). A prefix
# that does not exist yet is made on first use, so programs can also be run by hand.
set -uo pipefail
if [ -z "${PV_WINE_DIR:-}" ]; then
  PV_WINE_DIR="$(pwd)/wine"
fi
export PV_WINE_DIR
here="$(cd "$(dirname "$0")" && pwd)"
# A prefix made here is not cleaned up by a test fixture, so its display is a transient one that
# ends by itself; a display that has ended (or was lost) is started again before the program runs.
( flock 9
  [ -f "$PV_WINE_DIR/prefix/system.reg" ] || "$here/prefix.sh" setup "$PV_WINE_DIR" --transient >/dev/null
  "$here/prefix.sh" display "$PV_WINE_DIR" >/dev/null || true
) 9>"$PV_WINE_DIR.lock"
source "$here/env.sh"

# The program writes into files that are relayed to this script's output while it runs. Wine hands
# the program's descriptors on to wineserver and the services it starts, which outlive the program
# by a few seconds: holding a pipe of the caller's (CTest's, a shell pipeline's), they would keep
# the caller waiting for them after every program.
out=$(mktemp) err=$(mktemp) pid=
trap 'rm -f "$out" "$err"' EXIT
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; exit 143' TERM INT
# Bounded: a program that hangs (a dialog nobody dismisses) must not stall the run.
timeout --kill-after=10 "${PV_WINE_TIMEOUT:-600}" "$PV_WINE" "$@" <&0 >"$out" 2>"$err" &
pid=$!
# From the first line: a program quicker than tail's start must not lose all but its last ten.
tail -q -n +1 -s 0.1 --pid="$pid" -f "$out" &
relay_out=$!
tail -q -n +1 -s 0.1 --pid="$pid" -f "$err" >&2 &
relay_err=$!
wait "$pid"
status=$?
wait "$relay_out" "$relay_err"
exit "$status"
