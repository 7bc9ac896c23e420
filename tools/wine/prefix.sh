#!/usr/bin/env bash
# prefix.sh setup|cleanup DIR
#   setup:   a fresh private Wine prefix in DIR/prefix (wineboot once) and an Xvfb display.
#   cleanup: stop the prefix's wineserver and the display; leave nothing running.
set -euo pipefail
cmd=$1
export PV_WINE_DIR=$2
mkdir -p "$PV_WINE_DIR"
source "$(dirname "$0")/env.sh"

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
    # A display of our own: the first free number from 90 up.
    for n in $(seq 90 140); do
      if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        echo $! > "$PV_WINE_DIR/xvfb.pid"
        for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        echo ":$n" > "$PV_WINE_DIR/display"
        break
      fi
    done
    source "$(dirname "$0")/env.sh"
    timeout 150 "$PV_WINE" wineboot.exe -i >/dev/null 2>&1
    timeout 60 "$PV_WINESERVER" -w
    echo "wine prefix ready: $WINEPREFIX (display ${DISPLAY:-none})"
    ;;
  cleanup)
    stop_all
    echo "wine prefix stopped: $WINEPREFIX"
    ;;
  *) echo "usage: prefix.sh setup|cleanup DIR" >&2; exit 2 ;;
esac
