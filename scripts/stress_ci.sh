#!/usr/bin/env bash
# Runs the Linux suite and the AddressSanitizer + UBSan suite a number of
# times each (default 3) while a plain CPU load keeps every core busy: tests
# that only pass when they get the CPU they expect fail here first. Builds
# what is missing, but installs nothing (scripts/setup.sh does). Ends with one
# line counting the test cases of all runs: "N passed, M failed" (skipped
# cases count in neither). Keeps the logs of failed runs.
#
#   scripts/stress_ci.sh [iterations, default 3]
set -euo pipefail
cd "$(dirname "$0")/.."

iterations=${1:-3}
if ! [[ $iterations =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: scripts/stress_ci.sh [iterations, default 3]" >&2
  exit 2
fi
# As scripts/test.sh runs the sanitizer suite.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

logs=$(mktemp -d /tmp/rdr00800-stress.XXXXXX)
load_pids=()
keep_logs=0
cleanup() {
  local pid
  for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  ((keep_logs)) || rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Build output goes to standard error: standard output is the one count line.
for preset in default asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >&2
done

for _ in $(seq "$(nproc)"); do
  sh -c 'while :; do :; done' &
  load_pids+=($!)
done

passed=0 failed=0
for ((i = 1; i <= iterations; i++)); do
  for preset in default asan; do
    log="$logs/$preset-$i.log"
    SECONDS=0
    ctest --preset "$preset" >"$log" 2>&1 || true
    summary=$(grep -oP '^[0-9]+% tests passed, \K[0-9]+ tests failed out of [0-9]+' "$log" || true)
    if [ -z "$summary" ]; then
      # No count means the run itself broke: say so rather than count nothing.
      echo "$preset run $i/$iterations ended without a summary, see $log" >&2
      keep_logs=1 failed=$((failed + 1))
      continue
    fi
    read -r run_failed _ _ _ _ run_total <<<"$summary"
    run_skipped=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log" || true)
    passed=$((passed + run_total - run_failed - run_skipped))
    failed=$((failed + run_failed))
    echo "$preset run $i/$iterations: $run_total tests, $run_failed failed, $run_skipped skipped (${SECONDS}s)" >&2
    if ((run_failed)); then
      keep_logs=1
      sed -n '/^The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' >&2
      echo "  log: $log" >&2
    fi
  done
done
echo "$passed passed, $failed failed"
((failed == 0))
