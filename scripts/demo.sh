#!/usr/bin/env bash
# The main job: installs what is missing, builds both DLLs and shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
for preset in win64 win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j 2 >/dev/null
done
for dll in build/win64/Pathvigil.dll build/win32/Pathvigil.dll; do
  echo "$dll: $(file -b "$dll")"
done
scripts/check-dll.sh build/win64/Pathvigil.dll build/win32/Pathvigil.dll
