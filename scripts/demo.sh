#!/usr/bin/env bash
# The demo: builds Pathvigil.dll and its installer packages, installs the 64-bit package silently
# into a private, throw-away Wine prefix with the settings given as properties (checking service,
# forbidden page, account, settings password), and browses a set of addresses through the
# substitute browser (tools/browser), which hosts the module exactly as the browser hosts a
# browser helper object; then uninstalls the package. Headless: message boxes and dialogs appear on
# a private X display and are reported and dismissed by the browser.
#
# Usage: scripts/demo.sh [--keep]
#   --keep  leave the checking service and its administration console running after the
#           summary, so that a person can look around; Ctrl-C stops them and cleans up.
# The console (pvconsole) runs beside the service on loopback; its address and the demo
# administrator's login are printed in step 4.
# Needs nothing but a Debian machine: what is missing is installed first (scripts/bootstrap.sh).
# Everything it starts or creates outside build/ is removed at the end, also on failure.
set -euo pipefail
keep=
[ "${1:-}" = "--keep" ] && keep=1
cd "$(dirname "$0")/.."
src=$(pwd)

step() { printf '\n== %s   (%ds)\n' "$*" "$SECONDS"; }
note() { printf '   %s\n' "$*"; }

# --- 1. tools ---------------------------------------------------------------------------------
step "1/7  Installing what is missing"
scripts/bootstrap.sh
note "build tools, mingw-w64, Wine, Xvfb and Python are present"

# --- 2. build ---------------------------------------------------------------------------------
step "2/7  Building (64-bit module and package, substitute browser, settings writer; 32-bit module and package; checking service)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j 2 --target Pathvigil pv_msi pvbrowser pvdat >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j 2 --target Pathvigil pv_msi >/dev/null
cmake --preset native >/dev/null
cmake --build --preset native -j 2 --target pvcheckd pvcheckctl pvconsole >/dev/null
browser=$src/build/win64/tools/browser/pvbrowser.exe
pvdat=$src/build/win64/tools/pvdat/pvdat.exe
checkd=$src/build/native/checkingservice/pvcheckd
ctl=$src/build/native/checkingservice/pvcheckctl
console=$src/build/native/checkingservice/pvconsole
if command -v file >/dev/null; then
  for f in build/win64/Pathvigil.dll build/win32/Pathvigil.dll; do note "$f: $(file -b "$f")"; done
fi
scripts/check-dll.sh build/win64/Pathvigil.dll build/win32/Pathvigil.dll | sed 's/^/   /'
msi=$src/build/win64/Pathvigil-x64.msi
for m in build/win64/Pathvigil-x64.msi build/win32/Pathvigil-x86.msi; do
  note "$m: $(msiinfo suminfo "$m" | sed -n 's/^Template: //p') package, $(stat -c %s "$m") bytes"
done
# The 32-bit package cannot be installed here: its tables are read instead.
tests/win/installer/check_msi_tables.sh build/win32/Pathvigil-x86.msi x86 build/win64/Pathvigil-x64.msi | tail -1 | sed 's/^/   /'

# --- 3. private Wine prefix -------------------------------------------------------------------
step "3/7  Making a private Wine prefix"
PV_WINE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/pathvigil-demo.XXXXXX")
export PV_WINE_DIR
run=$src/tools/wine/run-wine.sh
service_pid=
console_pid=
cleanup() {
  set +e
  [ -n "$console_pid" ] && kill "$console_pid" 2>/dev/null && wait "$console_pid" 2>/dev/null
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  "$src/tools/wine/prefix.sh" cleanup "$PV_WINE_DIR" >/dev/null 2>&1
  rm -rf "$PV_WINE_DIR" "$PV_WINE_DIR.lock"
}
trap cleanup EXIT
"$src/tools/wine/prefix.sh" setup "$PV_WINE_DIR" | sed 's/^/   /'
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }

# --- 4. checking service and registration -----------------------------------------------------
step "4/7  Starting the checking service and its console on loopback, installing the package silently"
"$src/checkingservice/demo-setup.sh" "$PV_WINE_DIR/rules.db" "$ctl" | sed 's/^/   /'
"$checkd" --db "$PV_WINE_DIR/rules.db" --port 0 >"$PV_WINE_DIR/service.log" 2>&1 &
service_pid=$!
base=
for _ in $(seq 1 100); do
  # The log may not exist yet: the background service creates it.
  base=$(sed -n 's|^pvcheckd: listening on \(http://[^/]*\)/.*|\1|p' "$PV_WINE_DIR/service.log" 2>/dev/null | head -1) || base=
  [ -n "$base" ] && break
  sleep 0.1
done
[ -n "$base" ] || { echo "the checking service did not start" >&2; cat "$PV_WINE_DIR/service.log" >&2; exit 1; }
forbidden="$base/forbidden.htm"
note "checking service pvcheckd on $base"
console_user=demo
console_password=demo-console
printf '%s\n' "$console_password" | "$ctl" --db "$PV_WINE_DIR/rules.db" admin add "$console_user" | sed 's/^/   /'
"$console" --db "$PV_WINE_DIR/rules.db" --port "${PV_CONSOLE_PORT:-0}" >"$PV_WINE_DIR/console.log" 2>&1 &
console_pid=$!
console_url=
for _ in $(seq 1 100); do
  console_url=$(sed -n 's|^pvconsole: listening on \(http://.*\)$|\1|p' "$PV_WINE_DIR/console.log" 2>/dev/null | head -1) || console_url=
  [ -n "$console_url" ] && break
  sleep 0.1
done
[ -n "$console_url" ] || { echo "the console did not start" >&2; cat "$PV_WINE_DIR/console.log" >&2; exit 1; }
note "administration console pvconsole on $console_url  (log in as $console_user / $console_password)"
note "msiexec /i Pathvigil-x64.msi /qn CHECKURL=$base/cgi-bin/checker FORBIDDENURL=$forbidden"
note "        ACCOUNT=pupil ACCOUNTPASSWORD=demo SETTINGSPASSWORD=(the administrator's)"
"$run" msiexec /i "$(winpath "$msi")" /qn CHECKURL="$base/cgi-bin/checker" FORBIDDENURL="$forbidden" \
  ACCOUNT=pupil ACCOUNTPASSWORD=demo SETTINGSPASSWORD=Adm1n-demo >/dev/null 2>&1
key='HKCR\Pathvigil.CVigil'
installed() { "$run" reg query "$1" >/dev/null 2>&1; }
drive_c=$PV_WINE_DIR/prefix/drive_c
for f in "Program Files/Pathvigil/Pathvigil.dll" windows/PathvigilHelp.chm; do
  [ -f "$drive_c/$f" ] && note "installed C:\\${f//\//\\}"
done
installed "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\{A2F457C5-04AC-4B20-BE8C-BD97F3823376}" &&
  note "registered as the browser's helper object and toolbar button (no module code ran)"

# --- 5. settings ------------------------------------------------------------------------------
step "5/7  The settings the package wrote, and the lists"
"$run" reg query "$key" | tr -d '\r' | sed -n 's/^    /   registry: /p'
note "          (the settings password is stored as a salted PBKDF2 hash, never in clear;"
note "           no \"first\" value yet: the first title change opens the settings by itself)"
"$run" "$pvdat" --prohibited http://adult.example/ --allowed http://school.example/ >/dev/null
"$run" "$pvdat" --show | tr -d '\r' | sed 's/^/   pv.dat: /'

# --- 6. browsing ------------------------------------------------------------------------------
step "6/7  Browsing through the substitute browser"
outcomes=$PV_WINE_DIR/outcomes.txt
: >"$outcomes"
browse() {   # browse TITLE [pvbrowser arguments...]
  local title=$1; shift
  printf '\n   -- %s\n' "$title"
  set +e
  "$run" "$browser" --unattended --timeout 120 "$@" 2>/dev/null | tr -d '\r' >"$PV_WINE_DIR/last.out"
  local rc=${PIPESTATUS[0]}
  set -e
  sed 's/^/   | /' "$PV_WINE_DIR/last.out"
  cat "$PV_WINE_DIR/last.out" >>"$outcomes"
  [ "$rc" -eq 0 ] || note "(the browser ended with status $rc)"
}
cat >"$PV_WINE_DIR/browse.txt" <<'EOF'
# One window: the four kinds of address, then the toolbar button.
navigate http://www.example.com/
navigate http://adult.example/
navigate http://school.example/
navigate http://games.example.com/
navigate http://www.casino.example/
navigate http://casino.example/help/rules
navigate http://www.chat.example.net/
toolbar
EOF
browse "lists and checking service (settings password set)" --status --script "$(winpath "$PV_WINE_DIR/browse.txt")"

# The administrator switches the password off (as "Settings password..." with an empty new one
# does): the toolbar button opens the settings at once again.
"$run" reg add "$key" /v settingsPassword /d "" /f >/dev/null
printf 'navigate http://www.example.com/\ntoolbar\n' >"$PV_WINE_DIR/toolbar.txt"
browse "settings password switched off" --script "$(winpath "$PV_WINE_DIR/toolbar.txt")"

"$run" "$pvdat" --prohibited http://adult.example/ --allowed http://school.example/ \
  --time-limit --day sat=10:00-12:00 >/dev/null
browse "time limit on, Internet allowed only on Saturday 10:00-12:00" \
  http://www.example.com/ http://school.example/
# (A new window's first navigation passes the schedule once: its guard has just been attached.)

"$run" msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1
printf '\n   -- uninstalled (msiexec /x Pathvigil-x64.msi /qn)\n'
left=0
for k in 'HKCR\Pathvigil.CVigil.1' 'HKCR\CLSID\{A2F457C5-04AC-4B20-BE8C-BD97F3823376}' \
         'HKLM\SOFTWARE\Microsoft\Internet Explorer\Extensions\{B43E48A5-399A-4A0A-8DFB-B4DB1AABB71F}'; do
  installed "$k" && { note "left behind: $k"; left=$((left + 1)); }
done
[ -e "$drive_c/Program Files/Pathvigil/Pathvigil.dll" ] && { note "left behind: Pathvigil.dll"; left=$((left + 1)); }
note "registration keys and files removed: $([ "$left" = 0 ] && echo yes || echo no)"
[ -f "$drive_c/windows/system32/pv.dat" ] && note "kept: pv.dat (lists and schedule) and the settings values (REMOVESETTINGS=1 removes them)"
echo "uninstall left $left" >>"$outcomes"
browse "after the uninstall: no helper, nothing is filtered" http://adult.example/

# --- 7. summary -------------------------------------------------------------------------------
step "7/7  Summary"
failures=0
check() {   # check DESCRIPTION EXPECTED-LINE
  if grep -Fqx -- "$2" "$outcomes"; then
    printf '   ok    %-62s %s\n' "$1" "${2##*  ->  }"
  else
    printf '   FAIL  %-62s expected: %s\n' "$1" "${2##*  ->  }"
    failures=$((failures + 1))
  fi
}
check "www.example.com: on neither list, the service allows" \
  "http://www.example.com/  ->  allowed"
check "adult.example: on the Prohibited list" \
  "http://adult.example/  ->  forbidden, redirected to $forbidden"
check "school.example: on the Allowed list" \
  "http://school.example/  ->  allowed"
check "games.example.com: the service's host rule forbids it" \
  "http://games.example.com/  ->  forbidden, redirected to $forbidden"
check "www.casino.example: the service's domain rule forbids it" \
  "http://www.casino.example/  ->  forbidden, redirected to $forbidden"
check "casino.example/help/: the account's own prefix rule allows it" \
  "http://casino.example/help/rules  ->  allowed"
check "www.chat.example.net: the category attached to the account" \
  "http://www.chat.example.net/  ->  forbidden, redirected to $forbidden"
prompts=$(grep -c '^dialog "Settings password"' "$outcomes" || true)
dialogs=$(grep -c '^dialog "Pathvigil"' "$outcomes" || true)
if [ "$prompts" -ge 2 ] && [ "$dialogs" -eq 1 ]; then
  printf '   ok    %-62s %s\n' "password set: first run and toolbar ask for it, open nothing" "$prompts prompts"
  printf '   ok    %-62s %s\n' "password off: the toolbar button opens the settings" "$dialogs dialog"
else
  printf '   FAIL  %-62s %s\n' "settings password prompt, then the settings" "$prompts prompts, $dialogs dialogs"
  failures=$((failures + 1))
fi
check "toolbar button: command object answers" \
  "toolbar \"Pathvigil\": Exec 0x00000000"
check "outside the allowed time: message shown" \
  "message box \"Pathvigil\": You Internet operation time is limited at the moment!"
if [ "$(date +%u)" = 6 ] && [ "$(date +%H)" -ge 10 ] && [ "$(date +%H%M)" -le 1200 ]; then
  note "(it is Saturday between 10:00 and 12:00 here: the time-limited run is inside its window)"
else
  check "outside the allowed time: sent to a blank page" \
    "http://school.example/  ->  time-limited, redirected to about:blank"
fi
check "uninstalled: no key or file of the package left" "uninstall left 0"
check "uninstalled: the browser runs without the filter" \
  "http://adult.example/  ->  allowed"

if [ -n "$keep" ]; then
  sleep 2  # the service writes its query log once a second
else
  kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null || true; service_pid=
fi
note ""
note "The checking service's query log (addresses on a local list never reach it):"
"$ctl" --db "$PV_WINE_DIR/rules.db" log show --limit 40 | sed 's/^/     /'
if "$ctl" --db "$PV_WINE_DIR/rules.db" log show --limit 1000 | grep -q 'http://adult.example/\|http://school.example/'; then
  note "FAIL  a listed address was sent to the service"
  failures=$((failures + 1))
fi

counted=$(python3 - "$console_url" "$console_user" "$console_password" <<'PY' || echo 0
import json, sys, time, urllib.request
url, user, password = sys.argv[1:]
login = urllib.request.Request(url + "api/login", json.dumps({"name": user, "password": password}).encode(),
                               {"Content-Type": "application/json"})
cookie = urllib.request.urlopen(login, timeout=30).headers["Set-Cookie"].split(";")[0]
for _ in range(50):  # the service writes its counters once a second
    board = json.load(urllib.request.urlopen(urllib.request.Request(url + "api/dashboard", headers={"Cookie": cookie}), timeout=30))
    total = sum(h["queries"] for h in board["hourly"])
    if total:
        break
    time.sleep(0.5)
print(total)
PY
)
if [ "${counted:-0}" -gt 0 ]; then
  printf '   ok    %-62s %s\n' "the console's dashboard counts the browsing" "$counted queries this hour"
else
  printf '   FAIL  %-62s %s\n' "the console's dashboard counts the browsing" "nothing counted"
  failures=$((failures + 1))
fi
note ""
note "The console: $console_url  (log in as $console_user / $console_password)"
echo
if [ "$failures" -eq 0 ]; then
  echo "Demo finished in ${SECONDS}s: every outcome was as expected."
else
  echo "Demo finished with $failures unexpected outcome(s)."
fi
if [ -n "$keep" ]; then
  echo
  echo "The checking service ($base/cgi-bin/checker) and the console ($console_url,"
  echo "login $console_user / $console_password) keep running; press Ctrl-C to stop them."
  trap 'exit 0' INT TERM
  while kill -0 "$service_pid" 2>/dev/null && kill -0 "$console_pid" 2>/dev/null; do sleep 1; done
  echo "the service or the console stopped" >&2
fi
[ "$failures" -eq 0 ]
