#!/usr/bin/env bash
# Installs what is missing, then builds every tree and runs its tests with the tree's workflow
# preset (CMakePresets.json: configure, build, test):
#   native       portable core, GoogleTest (g++); the checking service's PostgreSQL tests
#                (label postgres) start a PostgreSQL 15 of their own and stop it again
#   native-asan  the same under AddressSanitizer + UndefinedBehaviorSanitizer (clang)
#   native-tsan  the thread tests under ThreadSanitizer (clang)
#   fuzz         libFuzzer targets, each run for a bounded time (clang)
#   win64        Pathvigil.dll (x86_64) and the Windows tests under Wine, each case a test of its own
#   win32        Pathvigil.dll (i686), built and inspected (this kernel cannot run 32-bit code)
# Every tree also proves the include rules (label structure). The order matters: win64's service
# test runs native's pvcheckd, and win32's package is compared with win64's.
#
# The counts come from each tree's JUnit file (build/<tree>/junit.xml); the whole output of a tree
# is in build/logs/<tree>.log.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh || { echo "bootstrap failed"; exit 1; }

passed=0; failed=0; skipped=0
declare -a failures=()

# junit_counts FILE: "PASSED FAILED SKIPPED" on the first line, then the failed tests' names. A test
# that did not run counts as failed, except one skipped on purpose (SKIP_REGULAR_EXPRESSION or
# SKIP_RETURN_CODE).
junit_counts() {
  /usr/bin/python3 - "$1" <<'EOF'
import sys
import xml.etree.ElementTree as ET

counts = {"passed": 0, "failed": 0, "skipped": 0}
names = []
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    status = case.get("status")
    skip = case.find("skipped")
    if status == "run" and case.find("failure") is None:
        counts["passed"] += 1
    elif status == "disabled" or (skip is not None and skip.get("message", "").startswith("SKIP_")):
        counts["skipped"] += 1
    else:
        counts["failed"] += 1
        names.append(case.get("name"))
print(counts["passed"], counts["failed"], counts["skipped"])
print("\n".join(names))
EOF
}

# workflow TREE: the tree's workflow preset. A failed configure or build step counts as one failure.
workflow() {
  local tree=$1 log=build/logs/$1.log junit=build/$1/junit.xml start=$SECONDS
  echo "=== $tree (at ${SECONDS}s)"
  rm -f "$junit"
  cmake --workflow --preset "$tree" >"$log" 2>&1
  local rc=$?
  if [ ! -f "$junit" ]; then
    # No test step ran: the step that failed is the last one the workflow announced.
    local step
    step=$(grep -o 'Executing workflow step [0-9]* of [0-9]*: [a-z]* preset' "$log" | tail -1 | sed 's/.*: \([a-z]*\) preset/\1/')
    tail -60 "$log"
    echo "$tree: ${step:-workflow} FAILED (exit $rc, $log)"
    failures+=("$tree: ${step:-workflow}"); failed=$((failed + 1))
    return
  fi
  local counts names p f s
  counts=$(junit_counts "$junit") || { failures+=("$tree: unreadable $junit"); failed=$((failed + 1)); return; }
  read -r p f s <<<"$(head -1 <<<"$counts")"
  names=$(tail -n +2 <<<"$counts")
  passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + s))
  echo "$tree: $p passed, $f failed, $s skipped in $((SECONDS - start))s"
  if [ "$f" -gt 0 ]; then
    sed 's/^/  failed: /' <<<"$names"
    failures+=("$tree: $f tests failed (output in $log)")
  elif [ "$rc" -ne 0 ]; then
    echo "$tree: the workflow failed although every test passed (exit $rc, $log)"
    failures+=("$tree: workflow exit $rc"); failed=$((failed + 1))
  fi
}

mkdir -p build/logs
for tree in native native-asan native-tsan fuzz win64 win32; do
  workflow "$tree"
done

# The one style (.clang-format, .clang-tidy), over every source with the native and win64 trees'
# compile commands: one check.
echo "=== style (at ${SECONDS}s)"
if scripts/style.sh check >build/logs/style.log 2>&1; then
  passed=$((passed + 1)); echo "style: passed"
else
  failed=$((failed + 1)); failures+=("style (output in build/logs/style.log)")
  tail -40 build/logs/style.log
fi

echo
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
fi
echo "all trees done in ${SECONDS}s"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
