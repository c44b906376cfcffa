#!/usr/bin/env bash
# Soak run: the bundled footage looped through the host simulator's
# three-camera rig for FRAMES frames (default 100000), no output written,
# resident memory sampled every 1000 frames. Fails when it grows by 1 MiB or
# more after the first sample. The samples (frame,rss_kib,ms_per_frame) and
# the summary go to standard output and to build-leakcheck/soak.csv.
#
#   bash scripts/soak.sh [FRAMES] [simulator rig options...]
# e.g. bash scripts/soak.sh 100000 --mask-blocks 1 --reset-mask 1
# 100000 frames take several minutes to tens of minutes; run it in the
# background for a full soak.
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-100000}
shift || true

bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (rig driver) =="
cmake -S . -B build-leakcheck -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELVO_BUILD_LEAKCHECK=ON -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=ON >/dev/null
cmake --build build-leakcheck -j"$jobs" --target rig_driver

echo "== soak: $frames frames =="
# The stitchers' constructor lines are the only thing the library prints here.
build-leakcheck/tests/leakcheck/rig_driver soak "$frames" 1000 "$@" | tr -d '\r' | grep -v -E '^(WTD|MAJORITY_ZERO|CLOSE) = |^$' \
  | tee build-leakcheck/soak.csv
