#!/usr/bin/env bash
# check-dll.sh DLL...: each Pathvigil.dll is a PE DLL for i386 or x86-64, exports the four entry
# points by name with ordinals 1 to 4, carries REGISTRY 3002 and TYPELIB 1 (a type library for its
# own system kind), and imports only DLLs that every Windows has. The checks are pe_inspect.py's.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ $# -eq 0 ]; then
  echo "usage: check-dll.sh DLL..." >&2
  exit 2
fi
allowed='(kernel32|user32|gdi32|advapi32|shlwapi|wininet|ole32|oleaut32|comctl32|shell32|msvcrt|comdlg32|version|bcrypt|hhctrl\.ocx)(\.dll)?|hhctrl\.ocx'
exec python3 "$here/pe_inspect.py" --allow "$allowed" "$@"
