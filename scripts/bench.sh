#!/usr/bin/env bash
# Builds the benchmarks (Release), runs them single-threaded and regenerates
# bench/RESULTS.md from the JSON they write. The figures are medians over
# ZELVO_BENCH_REPS runs; with a baseline, each run of this build is followed
# by a run of the baseline's, so both see the same machine state.
# Usage: scripts/bench.sh [extra zelvo_bench arguments, e.g. --benchmark_filter=Stage]
# Environment: ZELVO_BENCH_BUILD    build directory (default build-bench)
#              ZELVO_BENCH_REPS     interleaved runs (default 5)
#              ZELVO_BENCH_JOBS     build jobs (default: all cores)
#              ZELVO_BENCH_BASELINE checkout of the baseline (e.g. a worktree of
#                                   main); its benchmarks are built in its own
#                                   build-bench and run beside ours, limited to
#                                   the library's stages and the frames
set -euo pipefail
cd "$(dirname "$0")/.."

build="${ZELVO_BENCH_BUILD:-build-bench}"
reps="${ZELVO_BENCH_REPS:-5}"
jobs="${ZELVO_BENCH_JOBS:-$(nproc)}"
baseline="${ZELVO_BENCH_BASELINE:-}"

build_bench() {  # source dir, build dir
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DZELVO_BUILD_BENCH=ON \
        -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$2" -j"$jobs" --target zelvo_bench >/dev/null
}
build_bench . "$build"
[ -n "$baseline" ] && build_bench "$baseline" "$baseline/build-bench"

# The constructor's switch lines and the console table go to the logs; the
# figures are taken from the JSON files.
run() {  # binary, json, extra arguments
  local bin=$1 json=$2
  shift 2
  "$bin" --benchmark_min_time=0.2 --benchmark_out="$json" --benchmark_out_format=json "$@" >> "$build/bench.log"
}
rm -f "$build"/run-*.json "$build"/base-*.json "$build/bench.log"
ours=() theirs=()
for i in $(seq 1 "$reps"); do
  run "$build/bench/zelvo_bench" "$build/run-$i.json" "$@"
  ours+=("$build/run-$i.json")
  if [ -n "$baseline" ]; then
    run "$baseline/build-bench/bench/zelvo_bench" "$build/base-$i.json" --benchmark_filter='BM_Stage_|BM_Frame5Cams'
    theirs+=("$build/base-$i.json")
  fi
done

python3 bench/make_results.py "${ours[@]}" ${theirs:+--baseline "${theirs[@]}"} > bench/RESULTS.md.new
mv bench/RESULTS.md.new bench/RESULTS.md
echo "bench: wrote bench/RESULTS.md (raw figures in $build/run-*.json${baseline:+ and base-*.json})"
