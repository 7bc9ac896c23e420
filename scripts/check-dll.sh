#!/usr/bin/env bash
# check-dll.sh DLL...: each Pathvigil.dll is a PE DLL of its architecture, exports the four entry
# points by name with ordinals 1 to 4, carries REGISTRY 3002 and TYPELIB 1, and imports only
# DLLs that every Windows has.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
status=0
allowed='^(kernel32|user32|gdi32|advapi32|shlwapi|wininet|ole32|oleaut32|comctl32|shell32|msvcrt|comdlg32|version|hhctrl\.ocx)\.dll$'
for dll in "$@"; do
  kind=$(file -b "$dll")
  case "$kind" in
    *PE32+*x86-64*DLL*) objdump=x86_64-w64-mingw32-objdump; arch=x86_64 ;;
    *PE32\ *Intel*386*DLL*|*PE32\ *80386*DLL*) objdump=i686-w64-mingw32-objdump; arch=i686 ;;
    *) echo "$dll: not a PE DLL: $kind"; status=1; continue ;;
  esac
  imports=$($objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for imp in $imports; do
    if ! grep -Eq "$allowed" <<<"$imp"; then
      echo "$dll: imports a non-system DLL: $imp"; status=1
    fi
  done
  if ! python3 "$here/pe_inspect.py" "$dll"; then status=1; fi
  echo "$dll ($arch): imports $(echo $imports | tr '\n' ' ')"
done
exit $status
