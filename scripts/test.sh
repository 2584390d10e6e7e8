#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# suite; the Debian packages, installed and removed in a throwaway root; the
# same suite under AddressSanitizer + UBSan; the thread tests under
# ThreadSanitizer; each fuzz target for 30 seconds; and the Windows
# builds (32- and 64-bit) under Wine. Ends with one line counting them all.
set -euo pipefail
cd "$(dirname "$0")/.."

logs=$(mktemp -d /tmp/rdr00800-test.XXXXXX)
trap 'rm -rf "$logs"' EXIT
SECONDS=0
stage() { printf '\n==== %s (at %ds)\n' "$*" "$SECONDS"; }

# Runs ctest with the given arguments, keeping its output for the count.
run_ctest() {
  local name=$1
  shift
  ctest "$@" 2>&1 | tee "$logs/$name.log"
  return "${PIPESTATUS[0]}"
}

stage "packages"
bash scripts/setup.sh

stage "Linux build and tests"
cmake --preset default
cmake --build --preset default
run_ctest linux --preset default
stage "Debian packages" && bash scripts/test_package.sh build/default

# Sanitizer trees take only what they run: no benchmarks anywhere, and the
# ThreadSanitizer tree builds the thread and scanner tests alone.
stage "AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake --preset asan
cmake --build --preset asan
run_ctest asan --preset asan

stage "ThreadSanitizer"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake --preset tsan -DRDR00800_BUILD_TOOLS=OFF
cmake --build --preset tsan --target rdr00800_runtime_tests rdr00800_scanner_tests rdr00800_hardening_test
run_ctest tsan --preset tsan -L 'scanner|hardening'

stage "fuzzing"
bash fuzz/run.sh all 30 | tee "$logs/fuzz.log"

stage "Windows under Wine"
bash scripts/test_windows.sh "$PWD/build/windows" | tee "$logs/windows.log"

# Every ctest run above ended without failure (set -e stops at the first
# that did not); count what ran.
passed=0 skipped=0
for log in "$logs"/*.log; do
  while read -r total; do passed=$((passed + total)); done < <(grep -oP 'tests failed out of \K[0-9]+' "$log")
  skipped=$((skipped + $(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)))
done
fuzzed=$(grep -c 'executions in' "$logs/fuzz.log" || true)
stage "done"
echo "fuzz targets run clean: $fuzzed"
echo "all suites: $((passed - skipped + fuzzed)) passed, 0 failed, $skipped skipped"
