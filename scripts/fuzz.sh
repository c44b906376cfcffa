#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, under
# AddressSanitizer + UndefinedBehaviorSanitizer (library included), and runs
# them.
#
#   bash scripts/fuzz.sh --short     CI mode: replay every seed of
#                                    tests/fuzz/corpus/<target>, then fuzz each
#                                    target for 5 s (FUZZ_SHORT_SECONDS)
#   bash scripts/fuzz.sh [SECONDS]   fuzz each target for SECONDS (default 300),
#                                    keeping what it finds in build-fuzz/corpus/
#
# Prints the executions per target. Exits non-zero on any finding; the input
# that triggered it is written to build-fuzz/artifacts/<target>-crash-*
# (replay: build-fuzz/tests/fuzz/<target> <file>).
set -euo pipefail
cd "$(dirname "$0")/.."

short=0
seconds=300
case "${1:-}" in
  --short) short=1; seconds=${FUZZ_SHORT_SECONDS:-5} ;;
  "") ;;
  *) seconds=$1 ;;
esac

bash scripts/setup.sh clang libclang-rt-14-dev
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (clang, libFuzzer, ASan + UBSan) =="
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELVO_BUILD_FUZZ=ON -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target zelvo_fuzz_targets

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
mkdir -p build-fuzz/artifacts
targets=(fuzz_stitcher)
status=0
summary=()
for t in "${targets[@]}"; do
  bin=build-fuzz/tests/fuzz/$t
  seeds=tests/fuzz/corpus/$t
  max_len=8192
  if [ $short -eq 1 ]; then
    work=$(mktemp -d)
  else
    work=build-fuzz/corpus/$t
    mkdir -p "$work"
  fi
  log=build-fuzz/artifacts/$t.log
  echo "== $t: replay $(ls "$seeds" | wc -l) seeds, then fuzz ${seconds} s =="
  # -runs=0: every seed once, no mutation.
  if ! "$bin" -runs=0 -artifact_prefix=build-fuzz/artifacts/$t- "$seeds" >"$log" 2>&1; then
    tail -40 "$log"
    summary+=("$t: FINDING in the seed corpus (see $log)")
    status=1
    [ $short -eq 1 ] && rm -rf "$work"
    continue
  fi
  if "$bin" -max_total_time="$seconds" -max_len=$max_len -print_final_stats=1 \
       -artifact_prefix=build-fuzz/artifacts/$t- "$work" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    summary+=("$t: ${runs:-?} executions in ${seconds} s, no finding")
  else
    tail -60 "$log"
    summary+=("$t: FINDING (see $log and build-fuzz/artifacts/$t-*)")
    status=1
  fi
  [ $short -eq 1 ] && rm -rf "$work"
done
echo "== fuzz summary =="
printf '%s\n' "${summary[@]}"
exit $status
