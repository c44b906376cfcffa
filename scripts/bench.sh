#!/usr/bin/env bash
# Builds the benchmarks (Release), runs them single-threaded with medians of
# repeated runs, and regenerates bench/RESULTS.md from the JSON they write.
# Usage: scripts/bench.sh [extra zelvo_bench arguments, e.g. --benchmark_filter=Stage]
# Environment: ZELVO_BENCH_BUILD (build directory, default build-bench),
#              ZELVO_BENCH_REPS (repetitions per benchmark, default 5).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${ZELVO_BENCH_BUILD:-build-bench}"
reps="${ZELVO_BENCH_REPS:-5}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZELVO_BUILD_BENCH=ON \
      -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target zelvo_bench >/dev/null

json="$build/bench.json"
# The constructor's switch lines and the console table go to the log; the
# figures are taken from the JSON file.
"$build/bench/zelvo_bench" --benchmark_min_time=0.2 --benchmark_repetitions="$reps" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$json" --benchmark_out_format=json "$@" > "$build/bench.log"

python3 bench/make_results.py "$json" > bench/RESULTS.md.new
mv bench/RESULTS.md.new bench/RESULTS.md
echo "bench: wrote bench/RESULTS.md (raw figures in $json)"
