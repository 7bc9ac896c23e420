#!/usr/bin/env bash
# The 64-bit package under Wine, the way an administrator deploys it:
#  1. what regsvr32 writes for the module at the package's install path is recorded;
#  2. an older version of the package is installed silently with an account and a settings
#     password: its registry, key by key and value by value, equals regsvr32's apart from the
#     values the properties set; the settings password is stored as a hash; the log does not
#     carry the passwords;
#  3. settings made after installation (lists, account, first run) survive the upgrade to this
#     build's package, which replaces the addresses given as properties and leaves one product;
#  4. the substitute browser loads the filter from the package and it filters;
#  5. an uninstall removes every key and file of the package and keeps pv.dat and the settings;
#     with REMOVESETTINGS=1 those go too.
#
# installer_e2e.sh PACKAGE OLD_PACKAGE PATHVIGIL_DLL PVBROWSER PVDAT   (CTest sets PV_WINE_DIR)
set -euo pipefail
msi=$1 old_msi=$2 dll=$3 browser=$4 pvdat=$5
src=${PV_SOURCE_DIR:-$(cd "$(dirname "$0")/../../.." && pwd)}
: "${PV_WINE_DIR:?PV_WINE_DIR must name the Wine folder of the test run}"
export PV_WINE_DIR
run=$src/tools/wine/run-wine.sh
source "$src/tools/wine/env.sh"

work=$(mktemp -d)
service_pid=
drive_c="$WINEPREFIX/drive_c"
install_dir="$drive_c/Program Files/Pathvigil"
pvdat_file="$drive_c/windows/system32/pv.dat"
winpath() { local p=${1//\//\\}; printf 'Z:%s' "$p"; }
msiexec() { "$run" msiexec "$@" >/dev/null 2>&1; }

cleanup() {
  set +e
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  msiexec /x "$(winpath "$msi")" /qn REMOVESETTINGS=1
  msiexec /x "$(winpath "$old_msi")" /qn REMOVESETTINGS=1
  "$run" regsvr32 /u /s 'C:\Program Files\Pathvigil\Pathvigil.dll' >/dev/null 2>&1
  rm -rf "$install_dir" "$pvdat_file" "$work"
}
trap cleanup EXIT

failures=0
ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if [ "$2" = "$3" ]; then ok "$1"; else fail "$1: '$2', expected '$3'"; fi; }

clsid='{A2F457C5-04AC-4B20-BE8C-BD97F3823376}'
keys=(
  'HKCR\Pathvigil.CVigil.1'
  'HKCR\Pathvigil.CVigil'
  "HKCR\\CLSID\\$clsid"
  'HKCR\TypeLib\{8FE30037-723E-400C-9BEE-3DF1563E2DB7}'
  'HKCR\Interface\{32FD1914-6EA6-490C-89E3-35FC3E148015}'
  'HKLM\SOFTWARE\Microsoft\Internet Explorer\Extensions\{B43E48A5-399A-4A0A-8DFB-B4DB1AABB71F}'
  "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\$clsid"
)
# The component's keys, one line per key and per value, in a stable order. Values the properties
# set, and the ones the module writes at run time, are left out with SKIP (a regex of names).
dump() {   # dump FILE [SKIP]
  local skip=${2:-'^$'}
  : >"$1"
  for k in "${keys[@]}"; do
    "$run" reg query "$k" /s 2>/dev/null | tr -d '\r' | sed '/^$/d; /^reg: /d' |
      awk -v skip="$skip" '/^HKEY_/ { key = $0; print key; next }
        { name = $1; if (name ~ skip) next; print key " | " $0 }' >>"$1" || true
  done
}
value() { "$run" reg query 'HKCR\Pathvigil.CVigil' /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { $1 = ""; $2 = ""; sub(/^  */, ""); print }'; }
key_exists() { "$run" reg query "$1" >/dev/null 2>&1; }
products() { "$run" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName.*Pathvigil' || true; }
settings_values='^(checkURL|errURL|name|ps|settingsPassword|first)$'

# --- 1. what regsvr32 writes ---------------------------------------------------------------------
mkdir -p "$install_dir"
cp "$dll" "$install_dir/Pathvigil.dll"
"$run" regsvr32 /s 'C:\Program Files\Pathvigil\Pathvigil.dll'
dump "$work/regsvr32.txt"
dump "$work/regsvr32-registration.txt" "$settings_values"
"$run" regsvr32 /u /s 'C:\Program Files\Pathvigil\Pathvigil.dll'
rm -rf "$install_dir"
[ "$(wc -l <"$work/regsvr32.txt")" -gt 20 ] && ok "regsvr32 wrote $(wc -l <"$work/regsvr32.txt") keys and values" ||
  { fail "regsvr32 wrote too little"; cat "$work/regsvr32.txt"; }

# --- 2. older package, silently, with account and settings password ------------------------------
msiexec /i "$(winpath "$old_msi")" /qn /l*v "$(winpath "$work/install.log")" \
  ACCOUNT=kid ACCOUNTPASSWORD=Acc0unt-Secret SETTINGSPASSWORD=Adm1n-Secret
dump "$work/old.txt" '^(name|ps|settingsPassword)$'
if diff "$work/regsvr32.txt" "$work/old.txt" >"$work/old.diff"; then
  ok "install without addresses: every key and value as regsvr32 writes them (defaults included)"
else
  fail "install differs from regsvr32:"; cat "$work/old.diff"
fi
check "account name" "$(value name)" kid
check "account password" "$(value ps)" Acc0unt-Secret
record=$(value settingsPassword)
[[ $record =~ ^pbkdf2-sha256\$[0-9]+\$[0-9a-f]{32}\$[0-9a-f]{64}$ ]] && ok "settings password stored as a PBKDF2 record" || fail "settings password record '$record'"
[[ $record != *Adm1n-Secret* ]] && ok "the record is not the password" || fail "the settings password is stored in clear"
[ -f "$install_dir/Pathvigil.dll" ] && [ -f "$drive_c/windows/PathvigilHelp.chm" ] && ok "module and help file installed" ||
  fail "module or help file missing"
# Wine's installer ends its log with every property's value whatever MsiHiddenProperties says (the
# platform's does not); nothing else may carry a password, the custom actions' data above all.
tr -d '\0\r' <"$work/install.log" >"$work/install.txt"
if grep -v '^Property(' "$work/install.txt" | grep -q 'Acc0unt-Secret\|Adm1n-Secret'; then
  fail "a password is in the installer's log:"; grep -v '^Property(' "$work/install.txt" | grep 'Acc0unt-Secret\|Adm1n-Secret'
else
  ok "no password in the installer's log outside the property dump"
fi
grep -q 'PvApplySettings' "$work/install.txt" && ok "the settings actions ran" || fail "no trace of the settings actions"

# --- 3. settings made afterwards, then the upgrade ----------------------------------------------
"$run" "$pvdat" --prohibited http://prohibited.example/ --allowed http://allowed.example/ >/dev/null
"$run" reg add 'HKCR\Pathvigil.CVigil' /v name /d kid2 /f >/dev/null
"$run" reg add 'HKCR\Pathvigil.CVigil' /v first /t REG_DWORD /d 1 /f >/dev/null
pvdat_sum=$(md5sum <"$pvdat_file")

cat >"$work/rules.json" <<'JSON'
{"rules": [{"url": "http://service-bad.example/", "body": "001"}]}
JSON
python3 "$src/tools/testservice/checking_service.py" --port-file "$work/port" \
  --log "$work/requests.log" --rules "$work/rules.json" --lifetime 280 --quiet >/dev/null &
service_pid=$!
for _ in $(seq 1 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base="http://127.0.0.1:$(cat "$work/port")"
forbidden="$base/forbidden.htm"

[ "$(products)" = 1 ] && ok "one product before the upgrade" || fail "$(products) products before the upgrade"
msiexec /i "$(winpath "$msi")" /qn CHECKURL="$base/cgi-bin/checker" FORBIDDENURL="$forbidden"
[ "$(products)" = 1 ] && ok "one product after the upgrade" || fail "$(products) products after the upgrade"
dump "$work/new.txt" "$settings_values"
if diff "$work/regsvr32-registration.txt" "$work/new.txt" >"$work/new.diff"; then
  ok "after the upgrade: every key and value as regsvr32 writes them, apart from the settings"
else
  fail "upgraded registry differs from regsvr32:"; cat "$work/new.diff"
fi
check "checkURL from the property" "$(value checkURL)" "$base/cgi-bin/checker"
check "errURL from the property" "$(value errURL)" "$forbidden"
check "account name kept" "$(value name)" kid2
check "account password kept" "$(value ps)" Acc0unt-Secret
check "settings password kept" "$(value settingsPassword)" "$record"
check "first run kept" "$(value first)" 0x1
check "pv.dat kept" "$(md5sum <"$pvdat_file")" "$pvdat_sum"

# --- 4. the browser loads the filter from the package ------------------------------------------
cat >"$work/browse.txt" <<'EOF2'
navigate http://start.example/
navigate http://prohibited.example/
navigate http://allowed.example/
navigate http://service-bad.example/
EOF2
"$run" "$browser" --unattended --timeout 90 --script "$(winpath "$work/browse.txt")" 2>/dev/null | tr -d '\r' >"$work/browse.out" || true
cat "$work/browse.out"
for line in "window 1 opened with 1 helper(s), 1 subscribed" \
            "http://start.example/  ->  allowed" \
            "http://prohibited.example/  ->  forbidden, redirected to $forbidden" \
            "http://allowed.example/  ->  allowed" \
            "http://service-bad.example/  ->  forbidden, redirected to $forbidden"; do
  grep -Fqx -- "$line" "$work/browse.out" && ok "$line" || fail "browser: missing '$line'"
done
grep -Fq "log=kid2&pwd=Acc0unt-Secret&url=http://start.example/" "$work/requests.log" &&
  ok "the service got the installed account" || fail "the service did not get the account"

# --- 5. uninstall ---------------------------------------------------------------------------------
msiexec /x "$(winpath "$msi")" /qn
[ "$(products)" = 0 ] && ok "no product after uninstall" || fail "$(products) products after uninstall"
for k in "${keys[@]}"; do
  [ "$k" = 'HKCR\Pathvigil.CVigil' ] && continue
  key_exists "$k" && fail "left behind: $k" || ok "removed: $k"
done
dump "$work/after.txt"
left=$(grep -v '^HKEY_CLASSES_ROOT\\Pathvigil.CVigil | *\(checkURL\|errURL\|name\|ps\|settingsPassword\|first\) ' "$work/after.txt" |
       grep -vx 'HKEY_CLASSES_ROOT\\Pathvigil.CVigil' || true)
[ -z "$left" ] && ok "the settings key holds the settings only" || { fail "left in the settings key:"; echo "$left"; }
check "account kept by the uninstall" "$(value name)" kid2
[ ! -e "$install_dir/Pathvigil.dll" ] && [ ! -e "$drive_c/windows/PathvigilHelp.chm" ] && ok "files removed" || fail "files left"
[ ! -e "$install_dir" ] && ok "install folder removed" || fail "install folder left"
check "pv.dat kept by the uninstall" "$(md5sum <"$pvdat_file")" "$pvdat_sum"
"$run" "$browser" --unattended --timeout 60 http://prohibited.example/ 2>/dev/null | tr -d '\r' >"$work/gone.out" || true
grep -Fqx "http://prohibited.example/  ->  allowed" "$work/gone.out" && ok "uninstalled: nothing filters" || fail "still filtering after uninstall"

# Reinstalled, the kept settings are in force again; REMOVESETTINGS=1 then removes them too.
msiexec /i "$(winpath "$msi")" /qn
check "reinstall keeps the relocated address" "$(value checkURL)" "$base/cgi-bin/checker"
msiexec /x "$(winpath "$msi")" /qn REMOVESETTINGS=1
key_exists 'HKCR\Pathvigil.CVigil' && fail "REMOVESETTINGS=1 left the settings key" || ok "REMOVESETTINGS=1 removed the settings key"
[ ! -e "$pvdat_file" ] && ok "REMOVESETTINGS=1 removed pv.dat" || fail "REMOVESETTINGS=1 left pv.dat"

if [ "$failures" -ne 0 ]; then
  echo "installer_e2e: $failures check(s) failed"
  exit 1
fi
echo "installer_e2e: all checks passed"
