#!/usr/bin/env bash
# Soak run: the bundled footage (or --input) looped through the simulator's
# rig for FRAMES frames (default 100000), no output written, resident memory
# sampled every 1000 frames (every FRAMES frames on shorter runs). Fails when it grows by 1 MiB or more after the
# first sample. The samples (frame,rss_kib,ms_per_frame) and the summary go
# to standard output and to build-soak/soak.csv.
#
#   bash scripts/soak.sh [FRAMES] [simulator rig options...]
# e.g. bash scripts/soak.sh 100000 --motion-aware 0 --mask-blocks 1
# 100000 frames take tens of minutes; run it in the background for a full soak.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-100000}
shift || true

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (soak driver) =="
cmake -S . -B build-soak -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_BUILD_BENCH=ON \
  -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=ON >/dev/null
cmake --build build-soak -j"$jobs" --target zelvo_soak

every=$((frames < 1000 ? frames : 1000))
echo "== soak: $frames frames =="
# The stitchers' constructor lines are the only thing the library prints here.
build-soak/bench/zelvo_soak "$frames" "$every" "$@" | tr -d '\r' |
  grep -v -E '^(WTD|MAJORITY_ZERO|CLOSE) = |^$' | tee build-soak/soak.csv
