# Sourced: the Wine environment of one test run. PV_WINE_DIR names the run's folder.
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="$PV_WINE_DIR/prefix"
PV_WINE=/usr/lib/wine/wine64
PV_WINESERVER=/usr/lib/wine/wineserver
if [ -f "$PV_WINE_DIR/display" ]; then
  DISPLAY=$(cat "$PV_WINE_DIR/display"); export DISPLAY
fi
