#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux
# suite; the Debian packages, installed and removed in a throwaway root; the
# same suite under AddressSanitizer + UBSan; the thread tests under
# ThreadSanitizer; each fuzz target for 5 seconds; and the Windows
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

stage "format"
bash scripts/check_format.sh

stage "Linux build and tests"
# Without debug information: it is half the compile time of a test file,
# and nothing here runs a debugger (the sanitizer trees keep theirs).
cmake --preset default -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG"
cmake --build --preset default
run_ctest linux --preset default
# The packages come from a Release tree of their own, built with warnings as errors.
stage "Debian packages" && bash scripts/test_package.sh

# Sanitizer trees take only what they run: no benchmarks anywhere, and the
# ThreadSanitizer tree builds the thread and scanner tests alone.
stage "AddressSanitizer + UndefinedBehaviorSanitizer"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Line tables alone (-g1) give the reports their files and lines, at less
# compile time than full debug information.
# rdrd stays out of it: its Boost.Beast files are a third of this tree's
# compile time; its parsers of untrusted input (configuration, request heads)
# run under AddressSanitizer + UBSan in their fuzz target instead.
cmake --preset asan -DRDR00800_BUILD_SERVICE=OFF -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
cmake --build --preset asan
run_ctest asan --preset asan

stage "ThreadSanitizer"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake --preset tsan -DRDR00800_BUILD_TOOLS=OFF -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
cmake --build --preset tsan --target rdr00800_runtime_test rdr00800_scanner_test rdr00800_c_api_test \
  rdr00800_c_api_decode_test rdr00800_c_api_package_test rdr00800_hardening_test rdr00800_package_credentials_test
run_ctest tsan --preset tsan -L 'runtime|scanner|c_api|hardening|concurrency'

stage "fuzzing"
bash fuzz/run.sh all 5 | tee "$logs/fuzz.log"

stage "Windows under Wine"
bash scripts/test_windows.sh "$PWD/build/windows" | tee "$logs/windows.log"

# Every ctest run above ended without failure (set -e stops at the first
# that did not); count what ran, and the suites a script could not run here
# ("skipped N tests, ...").
passed=0 skipped=0 unrun=0
for log in "$logs"/*.log; do
  while read -r total; do passed=$((passed + total)); done < <(grep -oP 'tests failed out of \K[0-9]+' "$log")
  skipped=$((skipped + $(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)))
  while read -r count; do unrun=$((unrun + count)); done < <(grep -oP '^skipped \K[0-9]+(?= tests, )' "$log")
done
fuzzed=$(grep -c 'executions in' "$logs/fuzz.log" || true)
stage "done"
echo "fuzz targets run clean: $fuzzed"
# Why, by count: each skipped test prints its reason after "file:line: Skipped".
echo "skipped, and why:"
{
  grep -h '^skipped [0-9]' "$logs"/*.log | sed -E 's/^skipped ([0-9]+) tests, /\1 /' || true
  find build -path '*/Testing/Temporary/LastTest.log' -newermt "@$(($(date +%s) - SECONDS))" -exec awk '
    /: Skipped\r?$/ { getline reason; sub(/\r$/, "", reason); print reason }' {} + | sort | uniq -c
} | while read -r count reason; do printf '%6d  %s\n' "$count" "$reason"; done
echo "all suites: $((passed - skipped + fuzzed)) passed, 0 failed, $((skipped + unrun)) skipped"
