# Waits used by the test scripts, safe under `set -euo pipefail`: a file that a background
# process has not created yet is "not yet", never an error that ends the script. Every wait is
# bounded, and ends early when the process that should write the file has died.
#
#   wait_for_file FILE SECONDS [PID]          until FILE is not empty; status 1 on failure
#   wait_for_match FILE SED_SCRIPT SECONDS [PID]
#                                             prints the first line `sed -n SED_SCRIPT` gives
#                                             for FILE once there is one; status 1 on failure

wait_for_file() {
  local file=$1 seconds=$2 pid=${3:-} tries
  tries=$((seconds * 10))
  while [ "$tries" -gt 0 ]; do
    [ -s "$file" ] && return 0
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      [ -s "$file" ]
      return
    fi
    sleep 0.1
    tries=$((tries - 1))
  done
  [ -s "$file" ]
}

wait_for_match() {
  local file=$1 script=$2 seconds=$3 pid=${4:-} tries found alive=1
  tries=$((seconds * 10))
  while :; do
    found=
    if [ -f "$file" ]; then
      found=$(sed -n "$script" "$file" 2>/dev/null | head -n 1) || found=
    fi
    if [ -n "$found" ]; then
      printf '%s\n' "$found"
      return 0
    fi
    { [ "$alive" = 1 ] && [ "$tries" -gt 0 ]; } || return 1
    # One more look after the writer ended: it may have written its line just before.
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then alive=0; continue; fi
    sleep 0.1
    tries=$((tries - 1))
  done
}
