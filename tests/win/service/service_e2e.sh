#!/usr/bin/env bash
# End to end against the reference checking service: regsvr32 registers the module, the account
# and the service's address go into the registry, the service holds host, domain, prefix and list
# rules and one moved account, and the substitute browser navigates. Everything it changes in the
# prefix is put back.
#
# service_e2e.sh PVBROWSER PATHVIGIL_DLL PVCHECKD PVCHECKCTL   (run by CTest with PV_WINE_DIR set)
set -euo pipefail
browser=$1 dll=$2 checkd=$3 ctl=$4
src=${PV_SOURCE_DIR:-$(cd "$(dirname "$0")/../../.." && pwd)}
: "${PV_WINE_DIR:?PV_WINE_DIR must name the Wine folder of the test run}"
export PV_WINE_DIR
for f in "$checkd" "$ctl"; do
  [ -x "$f" ] || { echo "service_e2e: $f is missing: build the native tree first"; exit 1; }
done
run=$src/tools/wine/run-wine.sh
source "$src/tools/wine/env.sh"
source "$src/tests/win/wait.sh"

work=$(mktemp -d)
pids=()
registered=0
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
cleanup() {
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  [ "$registered" = 1 ] && "$run" regsvr32 /u /s "$(winpath "$dll")" >/dev/null 2>&1
  rm -f "$WINEPREFIX/drive_c/windows/system32/pv.dat"
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
expect_line() {   # expect_line FILE LINE
  if grep -Fqx -- "$2" "$1"; then echo "ok: $2"; else echo "MISSING: $2"; failures=$((failures + 1)); fi
}

start_service() {   # start_service DB NAME: sets $address to the service's base address
  # Runs in this shell (not a command substitution), so that cleanup knows the process.
  "$checkd" --db "$1" --port 0 >"$work/$2.log" 2>&1 &
  pids+=($!)
  if ! address=$(wait_for_match "$work/$2.log" \
      's|^pvcheckd: listening on \(http://[^/]*\)/.*|\1|p' 30 "${pids[-1]}"); then
    echo "service_e2e: $2 did not start"
    cat "$work/$2.log" 2>/dev/null
    exit 1
  fi
}

# --- two services: the school's, and the one a moved account now belongs to -------------------
db=$work/rules.db
"$src/checkingservice/demo-setup.sh" "$db" "$ctl" >/dev/null
echo pw | "$ctl" --db "$db" account add moved --password-stdin --policy allow >/dev/null
db2=$work/new.db
"$ctl" --db "$db2" init >/dev/null
echo pw | "$ctl" --db "$db2" account add moved --password-stdin --policy forbid >/dev/null
"$ctl" --db "$db2" rule add --account moved allow host ok.example >/dev/null
start_service "$db2" new
base2=$address
"$ctl" --db "$db" account move moved "$base2/cgi-bin/checker" >/dev/null
start_service "$db" school
base=$address
check="$base/cgi-bin/checker"
forbidden="$base/forbidden.htm"

"$run" regsvr32 /s "$(winpath "$dll")"
registered=1
key='HKCR\Pathvigil.CVigil'
set_account() {
  "$run" reg add "$key" /v checkURL /d "$1" /f >/dev/null
  "$run" reg add "$key" /v name /d "$2" /f >/dev/null
  "$run" reg add "$key" /v ps /d "$3" /f >/dev/null
}
"$run" reg add "$key" /v errURL /d "$forbidden" /f >/dev/null
"$run" reg add "$key" /v first /t REG_DWORD /d 1 /f >/dev/null
set_account "$check" pupil demo

browse() {   # browse NAME urls...
  local name=$1; shift
  set +e
  "$run" "$browser" --unattended --timeout 90 "$@" 2>"$work/$name.err" | tr -d '\r' >"$work/$name.out"
  local rc=${PIPESTATUS[0]}
  set -e
  echo "--- $name (exit $rc)"; cat "$work/$name.out"
  [ "$rc" = 0 ] || { echo "$name: exit $rc"; failures=$((failures + 1)); }
}

# --- the school's rules, as the verified account sees them ------------------------------------
browse rules http://www.example.com/ http://games.example.com/ http://www.casino.example/ \
  http://casino.example/help/rules http://example.org/private/x http://www.chat.example.net/
out=$work/rules.out
expect_line "$out" "http://www.example.com/  ->  allowed"
expect_line "$out" "http://games.example.com/  ->  forbidden, redirected to $forbidden"
expect_line "$out" "http://www.casino.example/  ->  forbidden, redirected to $forbidden"
expect_line "$out" "http://casino.example/help/rules  ->  allowed"
expect_line "$out" "http://example.org/private/x  ->  forbidden, redirected to $forbidden"
expect_line "$out" "http://www.chat.example.net/  ->  forbidden, redirected to $forbidden"

# --- a wrong password is a stranger: the list attached to the account no longer applies -------
set_account "$check" pupil wrong
browse stranger http://www.chat.example.net/
expect_line "$work/stranger.out" "http://www.chat.example.net/  ->  allowed"

# --- a moved account: the module follows "004", stores the new address and asks there ---------
set_account "$check" moved pw
browse moved http://ok.example/ http://other.example/
expect_line "$work/moved.out" "http://ok.example/  ->  allowed"
expect_line "$work/moved.out" "http://other.example/  ->  forbidden, redirected to $forbidden"
stored=$("$run" reg query "$key" /v checkURL | tr -d '\r' | sed -n 's/.*REG_SZ[[:space:]]*//p')
if [ "$stored" = "$base2/cgi-bin/checker" ]; then echo "ok: checkURL moved to $stored"
else echo "MISSING: checkURL $base2/cgi-bin/checker (registry holds '$stored')"; failures=$((failures + 1)); fi

if [ "$failures" -ne 0 ]; then
  echo "service_e2e: $failures check(s) failed"
  exit 1
fi
echo "service_e2e: all checks passed"
