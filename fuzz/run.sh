#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in a tree of their own and runs one
# target, or all of them two at a time, for SECONDS each from the seed corpus.
#
#   fuzz/run.sh TARGET|all SECONDS [extra libFuzzer flags...]
#
# New inputs go to build/fuzz/corpus/TARGET (the seeds in fuzz/corpus stay as
# they are); a crash leaves crash-* in build/fuzz/findings and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: fuzz/run.sh TARGET|all SECONDS}
seconds=${2:?usage: fuzz/run.sh TARGET|all SECONDS}
shift 2
build=${RDR00800_FUZZ_BUILD:-build/fuzz}

instrument="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_C_FLAGS=$instrument" "-DCMAKE_CXX_FLAGS=$instrument" -DRDR00800_BUILD_FUZZ=ON -DRDR00800_BUILD_TESTS=OFF -DRDR00800_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" --target rdr00800_fuzzers >/dev/null

run_one() {
  local name=$1
  shift
  local corpus="$build/corpus/$name"
  mkdir -p "$corpus" "$build/findings"
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/findings/$name-" "$@" "$corpus" "fuzz/corpus/$name" \
    >"$build/$name.log" 2>&1 || { echo "fuzz_$name FAILED:"; tail -n 40 "$build/$name.log"; return 1; }
  echo "fuzz_$name: $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/$name.log" | grep -o '[0-9]*$') executions in ${seconds}s"
}

if [[ $target != all ]]; then
  run_one "$target" "$@"
  exit
fi
targets=(hexa_to_bin bin_to_dec proximity_frame frame_cut message_format escapes telnet_receiver credentials
  credential_definition rdrd_config_access)
status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for name in "${targets[@]:i:2}"; do
    run_one "$name" "$@" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
exit $status
