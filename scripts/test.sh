#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test; then the
# whole suite under AddressSanitizer + UBSan, the thread tests under
# ThreadSanitizer, and each fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default
cmake --build --preset default
ctest --preset default

# Sanitizer trees take only what they run: no benchmarks anywhere, and the
# ThreadSanitizer tree builds the thread and scanner tests alone.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
cmake --preset tsan -DRDR00800_BUILD_TOOLS=OFF
cmake --build --preset tsan --target rdr00800_runtime_tests rdr00800_scanner_tests rdr00800_hardening_test
ctest --preset tsan -L 'scanner|hardening'

bash fuzz/run.sh all 30
