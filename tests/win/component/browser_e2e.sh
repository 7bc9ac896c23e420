#!/usr/bin/env bash
# End to end, the way the browser uses the component: regsvr32 registers the 64-bit module, sample
# lists and a schedule go into pv.dat, the account and the service address into the registry, a
# loopback checking service answers, and the substitute browser navigates through allowed,
# forbidden and time-limited outcomes. Everything it changes in the prefix is put back.
#
# browser_e2e.sh PVBROWSER PVDAT PATHVIGIL_DLL   (run by CTest with PV_WINE_DIR set)
set -euo pipefail
browser=$1
pvdat=$2
dll=$3
src=${PV_SOURCE_DIR:-$(cd "$(dirname "$0")/../../.." && pwd)}
: "${PV_WINE_DIR:?PV_WINE_DIR must name the Wine folder of the test run}"
export PV_WINE_DIR
run=$src/tools/wine/run-wine.sh
source "$src/tools/wine/env.sh"
source "$src/tests/win/wait.sh"

work=$(mktemp -d)
service_pid=
registered=0
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
pvdat_file="$WINEPREFIX/drive_c/windows/system32/pv.dat"

cleanup() {
  set +e
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  [ "$registered" = 1 ] && "$run" regsvr32 /u /s "$(winpath "$dll")" >/dev/null 2>&1
  rm -f "$pvdat_file"
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
expect_line() {   # expect_line OUTPUT-FILE LINE
  if grep -Fqx -- "$2" "$1"; then echo "ok: $2"; else echo "MISSING: $2"; failures=$((failures + 1)); fi
}
expect_absent() {   # expect_absent FILE TEXT
  if grep -Fq -- "$2" "$1"; then echo "UNEXPECTED: $2"; failures=$((failures + 1)); else echo "ok: no $2"; fi
}
browse() {   # browse NAME [pvbrowser options...]: output in $work/NAME.out, exit status in $work/NAME.rc
  local name=$1 attempt rc; shift
  set +e
  for attempt in 1 2; do
    "$run" "$browser" --unattended --timeout 90 "$@" >"$work/$name.raw" 2>"$work/$name.err"
    rc=$?
    # The browser prints a line whatever happens once it runs; no line at all means the emulator
    # did not start it, which is tried once more (with what the emulator said).
    [ "$rc" != 0 ] && [ ! -s "$work/$name.raw" ] && [ "$attempt" = 1 ] || break
    echo "--- $name: no output, exit $rc; once more. The emulator said:"
    cat "$work/$name.err"
  done
  echo "$rc" >"$work/$name.rc"
  tr -d '\r' <"$work/$name.raw" >"$work/$name.out"
  set -e
  echo "--- $name (exit $rc)"
  cat "$work/$name.out"
  if [ "$rc" != 0 ]; then echo "--- $name: standard error"; cat "$work/$name.err"; fi
}

# --- the checking service ------------------------------------------------------------------
cat >"$work/rules.json" <<'EOF'
{"rules": [{"url": "http://service-bad.example/", "body": "001"}]}
EOF
python3 "$src/tools/testservice/checking_service.py" --port-file "$work/port" \
  --log "$work/requests.log" --rules "$work/rules.json" --lifetime 280 --quiet >"$work/service.out" 2>&1 &
service_pid=$!
if ! wait_for_file "$work/port" 30 "$service_pid"; then
  echo "browser_e2e: the checking service did not start"
  cat "$work/service.out" 2>/dev/null
  exit 1
fi
port=$(cat "$work/port")
base="http://127.0.0.1:$port"
forbidden="$base/forbidden.htm"

# --- registration and settings ---------------------------------------------------------------
"$run" regsvr32 /s "$(winpath "$dll")"
registered=1
key='HKCR\Pathvigil.CVigil'
"$run" reg add "$key" /v checkURL /d "$base/cgi-bin/checker" /f >/dev/null
"$run" reg add "$key" /v errURL /d "$forbidden" /f >/dev/null
"$run" reg add "$key" /v name /d kid /f >/dev/null
"$run" reg add "$key" /v ps /d secret /f >/dev/null
"$run" reg add "$key" /v first /t REG_DWORD /d 1 /f >/dev/null
"$run" "$pvdat" --prohibited http://prohibited.example/ --allowed http://allowed.example/ >/dev/null

# --- lists and service ---------------------------------------------------------------------
cat >"$work/lists.txt" <<'EOF'
# lists and service
navigate http://start.example/
navigate http://prohibited.example/
navigate http://allowed.example/
navigate http://service-bad.example/
navigate http://fine.example/
toolbar
window
navigate http://prohibited.example/
quit
EOF
browse lists --status --script "$(winpath "$work/lists.txt")"
out=$work/lists.out
expect_line "$out" "window 1 opened with 1 helper(s), 1 subscribed"
expect_line "$out" "http://start.example/  ->  allowed"
expect_line "$out" "http://prohibited.example/  ->  forbidden, redirected to $forbidden"
expect_line "$out" "http://allowed.example/  ->  allowed"
expect_line "$out" "http://service-bad.example/  ->  forbidden, redirected to $forbidden"
expect_line "$out" "http://fine.example/  ->  allowed"
expect_line "$out" "  status: Check of contents of the page..."
expect_line "$out" "toolbar \"Pathvigil\": QueryStatus 0x00000000, cmdf 2"
expect_line "$out" "toolbar \"Pathvigil\": Exec 0x00000000"
expect_line "$out" "[2] http://prohibited.example/  ->  forbidden, redirected to $forbidden"
expect_line "$out" "[2] window 2 closed"
expect_line "$out" "window 1 closed"
expect_absent "$out" "subscription(s) left"
[ "$(cat "$work/lists.rc")" = 0 ] || { echo "lists: exit $(cat "$work/lists.rc")"; failures=$((failures + 1)); }
# The service saw the account and every address on neither list, the forbidden page included,
# and nothing that a list decided.
log=$work/requests.log
expect_line_in_log() {
  if grep -Fq -- "$1" "$log"; then echo "ok: query $1"; else echo "MISSING query: $1"; failures=$((failures + 1)); fi
}
expect_line_in_log "/cgi-bin/checker?log=kid&pwd=secret&url=http://start.example/ "
expect_line_in_log "/cgi-bin/checker?log=kid&pwd=secret&url=http://service-bad.example/ "
expect_line_in_log "/cgi-bin/checker?log=kid&pwd=secret&url=$forbidden "
expect_absent "$log" "url=http://prohibited.example/"
expect_absent "$log" "url=http://allowed.example/"

# --- the forbidden page itself forbidden: shown, not redirected again -----------------------
# (probe.example shows that the service answers by the new rules.)
printf '{"rules": [{"url": "http://service-bad.example/", "body": "001"}, {"url": "http://probe.example/", "body": "001"}, {"url": "%s", "body": "001"}]}\n' \
  "$forbidden" >"$work/rules.json.new"
mv "$work/rules.json.new" "$work/rules.json"
sleep 1.2   # the service notices the new rules by their modification time
browse loop http://probe.example/ http://service-bad.example/ "$forbidden"
expect_line "$work/loop.out" "http://probe.example/  ->  forbidden, redirected to $forbidden"
expect_line "$work/loop.out" "http://service-bad.example/  ->  forbidden, redirected to $forbidden"
expect_line "$work/loop.out" "$forbidden  ->  allowed"
expect_absent "$work/loop.out" "redirect loop"
[ "$(cat "$work/loop.rc")" = 0 ] || { echo "loop: exit $(cat "$work/loop.rc")"; failures=$((failures + 1)); }

# --- created from the ProgID, as a toolbar command object is ---------------------------------
browse progid --helper Pathvigil.CVigil http://prohibited.example/
expect_line "$work/progid.out" "http://prohibited.example/  ->  forbidden, redirected to $forbidden"

# --- time limit: every day closed ------------------------------------------------------------
"$run" "$pvdat" --time-limit >/dev/null
browse time http://first.example/ http://second.example/
out=$work/time.out
# The window's first navigation passes through the flag SetSite raised.
expect_line "$out" "http://first.example/  ->  allowed"
expect_line "$out" "message box \"Pathvigil\": You Internet operation time is limited at the moment!"
expect_line "$out" "http://second.example/  ->  time-limited, redirected to about:blank"
[ "$(cat "$work/time.rc")" = 0 ] || { echo "time: exit $(cat "$work/time.rc")"; failures=$((failures + 1)); }

# --- unregistered: the browser runs without the helper --------------------------------------
"$run" regsvr32 /u /s "$(winpath "$dll")"
registered=0
browse gone http://prohibited.example/
expect_line "$work/gone.out" "pvbrowser: no browser helper objects registered"
expect_line "$work/gone.out" "http://prohibited.example/  ->  allowed"

if [ "$failures" -ne 0 ]; then
  echo "browser_e2e: $failures check(s) failed"
  exit 1
fi
echo "browser_e2e: all checks passed"
