#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset `fuzz`: clang, ASan+UBSan) and runs
# each for the given number of seconds (default 300). Inputs that libFuzzer
# finds interesting go to build/fuzz/corpus/<harness>/, never into the seed
# corpus in fuzz/corpus/; a failing input is saved in fuzz/artifacts/.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
jobs=${FUZZ_JOBS:-2}
build=build/fuzz

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p fuzz/artifacts

failed=()
while read -r name; do
  [ -n "$name" ] || continue
  work=$build/corpus/$name
  mkdir -p "$work"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  log=$build/fuzz_$name.log
  # -close_fd_mask=2 silences the decoders' warnings; libFuzzer and the
  # sanitizers still report on a descriptor of their own. The full log goes
  # to a file; a failure prints its end.
  if "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
      -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="fuzz/artifacts/$name-" \
      "$work" "${seeds[@]}" >"$log" 2>&1; then
    echo "fuzz_$name: $(grep -m1 '^Done' "$log" || echo 'done'), no failure (log: $log)"
  else
    failed+=("$name")
    echo "fuzz_$name: FAILED (log: $log)"
    tail -n 60 "$log"
  fi
done <"$build/fuzz/fuzzers.txt"

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found failures in: ${failed[*]} (inputs in fuzz/artifacts/)" >&2
  exit 1
fi
