#!/usr/bin/env bash
# Quick start: installs what is missing, builds the library and the host
# simulator, and plays the bundled footage (samples/vtest) through a simulated
# rig of three cameras with the simulator's defaults.
# Usage: scripts/run_sim.sh [zelvo-stitch-sim options...]   (see --help)
# ZELVO_BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

build="${ZELVO_BUILD_DIR:-build}"
jobs=$(nproc 2>/dev/null || echo 2)
echo "== build =="
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" --target zelvo-stitch-sim

out=out
quality=1
video=1
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[$i]}" in
    -h|--help) exec "./$build/tools/zelvo-stitch-sim" --help ;;
    --out) out="${args[$((i + 1))]:-out}" ;;
    --out=*) out="${args[$i]#--out=}" ;;
    --no-quality) quality=0 ;;
    --no-video) video=0 ;;
  esac
done

echo "== zelvo-stitch-sim =="
# The library's diagnostics go to standard output, the simulator's to
# standard error.
"./$build/tools/zelvo-stitch-sim" "$@"
echo
echo "Pictures in $(cd "$out" && pwd):"
echo "  preview.png        the cameras of the last frame side by side, its panorama below"
echo "  panorama.png       the last blended panorama (--write-frames: one per frame in frames/)"
echo "  shift.png          shift written by the library against the true misalignment"
echo "  fusion_map_N.png   the last fusion map of each overlap (the library's own)"
if [ "$video" = 1 ]; then
  echo "  panorama.mp4       the blended panoramas of every frame (seams and blend bands with --seams)"
fi
if [ "$quality" = 1 ]; then
  echo "  seams.png          the last frame's seams: library, middle, Voronoi, DP, graph cut"
  echo "  quality.png        seam cost, mover cut, jitter, ghosting, edge step and time per method"
  echo "  shift.csv, quality.csv, summary.json"
else
  echo "  shift.csv, summary.json"
fi
