#!/usr/bin/env bash
# check_msi_tables.sh PACKAGE ARCH [OTHER_PACKAGE]
# Reads a package's tables with msitools (this machine cannot run 32-bit code, so the x86 package is
# judged by its tables): platform, the module file and its architecture, the registration rows, the
# upgrade search, the custom actions and the properties that keep passwords out of the log.
# With OTHER_PACKAGE (the other architecture's package, whose rows the Wine test compared with
# what regsvr32 writes), the registration rows must be the same apart from the type library's
# platform key.
set -euo pipefail
msi=$(realpath "$1") arch=$2 other=${3:+$(realpath "$3")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok: $*"; }
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r' | sort; }

case $arch in
  x86) template="Intel;1033"; platform=win32; machine=014c; win64bit=0 ;;
  x64) template="x64;1033"; platform=win64; machine=8664; win64bit=256 ;;
  *) echo "usage: check_msi_tables.sh PACKAGE x86|x64 [OTHER_PACKAGE]" >&2; exit 2 ;;
esac

msiinfo suminfo "$msi" | grep -Fqx "Template: $template" && ok "platform $template" || fail "platform is not $template"

# The packaged module is a DLL of the package's own architecture.
(cd "$work" && msiextract "$msi" >/dev/null)
dll=$(find "$work" -iname Pathvigil.dll | head -1)
if [ -n "$dll" ]; then
  got=$(/usr/bin/python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(); o=struct.unpack_from("<I",d,0x3c)[0]; print("%04x" % struct.unpack_from("<H",d,o+4)[0])' "$dll")
  [ "$got" = "$machine" ] && ok "Pathvigil.dll machine $got" || fail "Pathvigil.dll machine $got, expected $machine"
else
  fail "no Pathvigil.dll in the package"
fi
[ -n "$(find "$work" -iname PathvigilHelp.chm)" ] && ok "help file packaged" || fail "no help file"

# Every component of the package has the package's bitness, except the help file's, which both
# packages share alike.
while IFS=$'\t' read -r comp _ _ attrs _; do
  want=$win64bit; [ "$comp" = HelpFile ] && want=0
  [ $((attrs & 256)) -eq "$want" ] && ok "component $comp bitness" || fail "component $comp attributes $attrs"
done < <(table "$msi" Component)

reg=$(table "$msi" Registry | cut -f2-5)
expect_row() { grep -Fqx -- "$1" <<<"$reg" && ok "row $1" || fail "missing row: $1"; }
clsid='{A2F457C5-04AC-4B20-BE8C-BD97F3823376}'
libid='{8FE30037-723E-400C-9BEE-3DF1563E2DB7}'
expect_row "0	CLSID\\$clsid\\InprocServer32\\		[#PathvigilDll]"
expect_row "0	CLSID\\$clsid\\Programmable	*	"
expect_row "0	TypeLib\\$libid\\1.0\\0\\$platform\\		[#PathvigilDll]"
expect_row "2	SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\$clsid\\		Pathvigil"
# The settings values are the custom actions' business, never literal rows.
if grep -Eq $'\t(checkURL|errURL|name|ps|settingsPassword)\t' <<<"$reg"; then fail "a settings value is a Registry row"; else ok "no settings value in the Registry table"; fi

prop() { table "$msi" Property | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
hidden=";$(prop MsiHiddenProperties);"
for p in ACCOUNTPASSWORD SETTINGSPASSWORD PvApplySettings PvPrepareSettings; do
  [[ $hidden == *";$p;"* ]] && ok "$p hidden" || fail "$p not in MsiHiddenProperties"
done
secure=";$(prop SecureCustomProperties);"
for p in CHECKURL FORBIDDENURL ACCOUNT ACCOUNTPASSWORD SETTINGSPASSWORD REMOVESETTINGS WIX_UPGRADE_DETECTED; do
  [[ $secure == *";$p;"* ]] && ok "$p secure" || fail "$p not in SecureCustomProperties"
done

# Custom actions: DLL entry points; the two that carry settings hide their data (0x2000); the deferred
# ones run as the system (0x400 deferred, 0x800 no impersonation).
actions=$(table "$msi" CustomAction | cut -f1,2)
for row in "PvSetHelpDir	1" "PvPrepareSettings	8193" "PvApplySettings	11265" "PvRemoveSettings	3137"; do
  grep -Fqx -- "$row" <<<"$actions" && ok "custom action $row" || fail "custom action not $row"
done
seq=$(table "$msi" InstallExecuteSequence)
n() { awk -F'\t' -v a="$1" '$1 == a { print $3 }' <<<"$seq"; }
if [ "$(n InstallInitialize)" -lt "$(n PvApplySettings)" ] && [ "$(n PvApplySettings)" -lt "$(n InstallFinalize)" ] &&
   [ "$(n PvSetHelpDir)" -lt "$(n WriteRegistryValues)" ] && [ "$(n WriteRegistryValues)" -lt "$(n PvPrepareSettings)" ] && [ "$(n RemoveRegistryValues)" -lt "$(n PvRemoveSettings)" ]; then
  ok "custom actions inside the installation script"
else
  fail "custom actions out of place"
fi
[ -n "$(n RemoveExistingProducts)" ] && ok "major upgrade removes the older product" || fail "no RemoveExistingProducts"
grep -q "WIX_UPGRADE_DETECTED" <(table "$msi" Upgrade) && ok "upgrade search" || fail "no Upgrade rows"

if [ -n "$other" ]; then
  norm() { table "$1" Registry | cut -f2-6 | sed -E 's/\\0\\win(32|64)\\/\\0\\win\\/' | sort; }
  if diff <(norm "$msi") <(norm "$other") >"$work/diff"; then
    ok "registration rows equal to $(basename "$other")'s"
  else
    fail "registration rows differ from $(basename "$other")'s:"; cat "$work/diff"
  fi
  help() { table "$1" Component | awk -F'\t' '$1 == "HelpFile"'; }
  [ -n "$(help "$msi")" ] && [ "$(help "$msi")" = "$(help "$other")" ] && ok "help file component shared alike" ||
    fail "help file components differ"
fi

[ "$failures" -eq 0 ] && echo "check_msi_tables: $(basename "$msi") ok" || { echo "check_msi_tables: $failures failure(s)"; exit 1; }
