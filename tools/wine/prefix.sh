#!/usr/bin/env bash
# prefix.sh setup|cleanup|display DIR [--transient]
#   setup:   a fresh private Wine prefix in DIR/prefix (wineboot once) and an Xvfb display.
#   cleanup: stop the prefix's wineserver and the display; leave nothing running.
#   display: make sure the prefix's display is running (start a new one if it has gone).
# --transient (with setup; remembered for later `display` calls): for prefixes made on first use
# outside a test run, which nobody cleans up: the display then ends by itself once its last
# client has gone, and after an hour at the latest.
set -euo pipefail
cmd=$1
export PV_WINE_DIR=$2
mkdir -p "$PV_WINE_DIR"
if [ "${3:-}" = "--transient" ]; then touch "$PV_WINE_DIR/transient"; fi
source "$(dirname "$0")/env.sh"

xvfb_alive() {
  [ -f "$PV_WINE_DIR/xvfb.pid" ] && [ -f "$PV_WINE_DIR/display" ] &&
    kill -0 "$(cat "$PV_WINE_DIR/xvfb.pid")" 2>/dev/null &&
    [ -e "/tmp/.X11-unix/X$(cut -c2- "$PV_WINE_DIR/display")" ]
}

# A display of our own: the first free number from 90 up. Another run may claim the same number
# at the same moment; the loser's server exits at once, so only a server that is still alive with
# its socket in place counts, otherwise the next number is tried.
start_display() {
  local extra=() launcher=()
  if [ -f "$PV_WINE_DIR/transient" ]; then
    extra=(-terminate)
    launcher=(timeout 3600)
  fi
  rm -f "$PV_WINE_DIR/xvfb.pid" "$PV_WINE_DIR/display"
  for n in $(seq 90 140); do
    if [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; then continue; fi
    # fd 9 is run-wine.sh's lock: the server must not hold it for its whole life.
    "${launcher[@]}" Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp "${extra[@]}" >/dev/null 2>&1 9>&- &
    local pid=$!
    for _ in $(seq 1 50); do
      [ -e "/tmp/.X11-unix/X$n" ] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
      echo "$pid" > "$PV_WINE_DIR/xvfb.pid"
      echo ":$n" > "$PV_WINE_DIR/display"
      return 0
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  echo "prefix.sh: no free X display" >&2
  return 1
}

stop_all() {
  if [ -d "$WINEPREFIX" ]; then
    "$PV_WINESERVER" -k 2>/dev/null || true
    timeout 20 "$PV_WINESERVER" -w 2>/dev/null || true
  fi
  if [ -f "$PV_WINE_DIR/xvfb.pid" ]; then
    kill "$(cat "$PV_WINE_DIR/xvfb.pid")" 2>/dev/null || true
    rm -f "$PV_WINE_DIR/xvfb.pid"
  fi
  rm -f "$PV_WINE_DIR/display"
}

case "$cmd" in
  setup)
    stop_all
    rm -rf "$WINEPREFIX"
    start_display || true
    source "$(dirname "$0")/env.sh"
    timeout 150 "$PV_WINE" wineboot.exe -i >/dev/null 2>&1
    timeout 60 "$PV_WINESERVER" -w
    echo "wine prefix ready: $WINEPREFIX (display ${DISPLAY:-none})"
    ;;
  cleanup)
    stop_all
    rm -f "$PV_WINE_DIR/transient"
    echo "wine prefix stopped: $WINEPREFIX"
    ;;
  display)
    xvfb_alive || start_display
    ;;
  *) echo "usage: prefix.sh setup|cleanup|display DIR [--transient]" >&2; exit 2 ;;
esac
