#!/usr/bin/env bash
# Builds the fuzz targets (clang-14, libFuzzer + ASan + UBSan) in build-fuzz/
# and runs each for a bounded time.
#
#   fuzz/run.sh [seconds-per-target] [target...]
#
# Default: 60 s for every target. Each run starts from the committed seeds
# (fuzz/corpus/<target>/) plus what earlier runs in this build tree found
# (build-fuzz/corpus/<target>/, never committed). Prints libFuzzer's final
# figures per target; exits non-zero when any target crashed, leaked, broke
# an invariant, or ran into its per-input time-out. Inputs that did are kept
# in build-fuzz/artifacts/<target>/; the log in build-fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
build=build-fuzz
jobs=$(nproc)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVORK_BUILD_FUZZ=ON -DVORK_BUILD_TESTS=OFF -DVORK_BUILD_BENCH=OFF -DVORK_BUILD_KELVRA=OFF \
  >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

# Longest input per target: enough for a full 2048-byte frame body or a
# multi-chunk read.
declare -A max_len=([frame_receiver]=8192 [decompress]=4096 [call_responses]=8192
                    [setup_ini]=4096 [request_names]=1024 [request_collector]=4096)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for name in frame_receiver decompress call_responses setup_ini request_names \
              request_collector; do
    if [ -x "$build/fuzz/fuzz_$name" ]; then
      targets+=("$name")
    else
      echo "fuzz_$name was not built (Qt 6 missing?): skipped"
    fi
  done
fi

# The targets' scratch files live here and go when the script ends, also
# after a crash.
scratch_base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_base=/dev/shm
scratch=$(mktemp -d "$scratch_base/vork-fuzz-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failed=()
for name in "${targets[@]}"; do
  corpus="$build/corpus/$name"
  artifacts="$build/artifacts/$name"
  log="$build/logs/$name.log"
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")" "$scratch/$name"
  status=0
  TMPDIR="$scratch/$name" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/fuzz/fuzz_$name" "$corpus" "fuzz/corpus/$name" \
    -max_total_time="$seconds" -timeout=30 -max_len="${max_len[$name]:-4096}" \
    -print_final_stats=1 -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  figures=$(grep -aoE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$log" | tail -1 || true)
  if [ "$status" -eq 0 ]; then
    echo "$name: ok, ${runs:-?} runs, ${rate:-?} exec/s, ${figures:-no coverage line}"
  else
    failed+=("$name")
    echo "$name: FAILED (exit $status) after ${runs:-?} runs, ${figures:-no coverage line}"
    grep -aE 'invariant broken|ERROR:|SUMMARY:|Test unit written' "$log" | head -5 | sed 's/^/  /' || true
    echo "  full log: $log"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing: ${#targets[@]} targets, no crash, leak or time-out"
