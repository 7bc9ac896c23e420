#!/usr/bin/env bash
# Installs what is missing, builds every tree and runs every test:
#   native       portable core, GoogleTest (g++); the checking service's PostgreSQL tests
#                (label postgres) start a PostgreSQL 15 of their own and stop it again
#   native-asan  the same under AddressSanitizer + UndefinedBehaviorSanitizer (clang)
#   native-tsan  the thread tests under ThreadSanitizer (clang)
#   fuzz         libFuzzer targets, each run for a bounded time (clang)
#   win64        Pathvigil.dll (x86_64) and the Windows tests under Wine
#   win32        Pathvigil.dll (i686), built and inspected (this kernel cannot run 32-bit code)
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/bootstrap.sh || { echo "bootstrap failed"; exit 1; }

passed=0; failed=0
declare -a failures=()

build() {  # build PRESET [TARGET...]: the whole tree, or only the targets named
  local preset=$1; shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  echo "=== build $preset (at ${SECONDS}s)"
  if ! { cmake --preset "$preset" >"build-$preset.log" 2>&1 && cmake --build --preset "$preset" -j 2 "${targets[@]}" >>"build-$preset.log" 2>&1; }; then
    tail -60 "build-$preset.log"
    echo "BUILD FAILED: $preset"
    failures+=("build $preset"); failed=$((failed + 1))
    return 1
  fi
  rm -f "build-$preset.log"
}

run_ctest() {  # run_ctest PRESET [ctest args...]
  local preset=$1; shift
  echo "=== test $preset (at ${SECONDS}s)"
  local log="build/$preset/ctest.log"
  (cd "build/$preset" && ctest --output-on-failure --timeout 900 "$@") 2>&1 | tee "$log" | grep -E "tests passed|\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception|Not Run" || true
  local line total nfail
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -1)
  if [ -z "$line" ]; then
    failures+=("ctest $preset: no result"); failed=$((failed + 1)); return
  fi
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  nfail=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
  [ "$nfail" -eq 0 ] || failures+=("ctest $preset: $nfail failed")
}

mkdir -p build
build native && run_ctest native
build native-asan && run_ctest native-asan
# The sanitizer-only trees build just what they run: the thread suites and the fuzzers.
build native-tsan pv_native_tests pvcheck_tests && run_ctest native-tsan -R 'Threads\.'
fuzzers=$(ls tests/fuzz/*_fuzz.cpp | xargs -n1 basename | sed 's/\.cpp$//')
build fuzz $fuzzers && run_ctest fuzz -L fuzz
build win64 && run_ctest win64
# The 32-bit tree only inspects its module and package (tests/inspect), the package beside win64's.
build win32 && run_ctest win32

echo
if [ ${#failures[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failures[@]}"
fi
echo "all trees done in ${SECONDS}s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
