#!/usr/bin/env bash
# Runs a Windows test program under Wine with a small file system of its own, to fill up.
#
# with_small_disk.sh PROGRAM [args...]
# The program finds the file system's Unix path in PV_SMALL_DISK. Mounting needs privileges the
# machine may not grant; the program then runs without PV_SMALL_DISK and skips what needs it.
# The file system is unmounted on every way out.
set -euo pipefail
program=$1; shift
src=${PV_SOURCE_DIR:-$(cd "$(dirname "$0")/../../.." && pwd)}
export PV_WINE_DIR=${PV_WINE_DIR:-$(pwd)/wine}

disk=$(mktemp -d)
mounted=
cleanup() {
  set +e
  if [ -n "$mounted" ]; then umount "$disk" 2>/dev/null || umount -l "$disk"; fi
  rmdir "$disk"
}
trap cleanup EXIT

if mount -t tmpfs -o size=256k,mode=0777 tmpfs "$disk" 2>/dev/null; then
  mounted=1
  export PV_SMALL_DISK=$disk
else
  echo "with_small_disk.sh: cannot mount a small file system here; the tests that need one skip" >&2
fi

PV_WINE_TIMEOUT=200 "$src/tools/wine/run-wine.sh" "$program" "$@"
