#!/usr/bin/env bash
# Runs a Windows test program under Wine with the loopback checking service beside it.
#
# with_service.sh PROGRAM [args...]
# The program gets --service http://127.0.0.1:<port> --log <request log> --rules <rules file>
# (Windows paths) in front of its own arguments; it writes the rules file itself before its first
# query. The service is stopped on every way out.
set -euo pipefail
program=$1; shift
src=${PV_SOURCE_DIR:-$(cd "$(dirname "$0")/../../.." && pwd)}
export PV_WINE_DIR=${PV_WINE_DIR:-$(pwd)/wine}
run=$src/tools/wine/run-wine.sh
source "$src/tests/win/wait.sh"

work=$(mktemp -d)
service_pid=
cleanup() {
  set +e
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# The loopback service must be reached directly, whatever proxy the environment names.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

python3 "$src/tools/testservice/checking_service.py" --port-file "$work/port" --log "$work/requests.log" \
  --rules "$work/rules.json" --lifetime 220 --quiet >"$work/service.out" 2>&1 &
service_pid=$!
if ! wait_for_file "$work/port" 30 "$service_pid"; then
  echo "checking service did not start:" >&2
  cat "$work/service.out" >&2 2>/dev/null
  exit 1
fi
port=$(cat "$work/port")

set +e
PV_WINE_TIMEOUT=200 "$run" "$program" --service "http://127.0.0.1:$port" \
  --log "$(winpath "$work/requests.log")" --rules "$(winpath "$work/rules.json")" "$@"
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
  echo "--- requests the service received:"
  cat "$work/requests.log" 2>/dev/null
fi
exit "$rc"
