#!/usr/bin/env bash
# Lifecycle leak check: CYCLES (default 1000) cycles of init, create, setup,
# five frames of both paths, destroy and uninit, on a tiny rig of the
# simulator's host logic, under valgrind memcheck. Fails on any byte definitely
# or indirectly lost and on any invalid read or write (or other memcheck
# error).
#
#   bash scripts/leakcheck.sh [CYCLES]
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-1000}

bash scripts/setup.sh valgrind
jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (rig driver) =="
cmake -S . -B build-leakcheck -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZELVO_BUILD_LEAKCHECK=ON -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=ON >/dev/null
cmake --build build-leakcheck -j"$jobs" --target rig_driver

echo "== valgrind memcheck, $cycles cycles =="
log=build-leakcheck/leakcheck.log
if valgrind --leak-check=full --show-leak-kinds=definite,indirect \
     --errors-for-leak-kinds=definite,indirect --error-exitcode=1 \
     build-leakcheck/tests/leakcheck/rig_driver cycles "$cycles" >"$log" 2>&1; then
  grep -E 'rig_driver:|definitely lost|indirectly lost|ERROR SUMMARY' "$log"
  echo "leak check passed"
else
  tail -80 "$log"
  echo "leak check FAILED (full log: $log)"
  exit 1
fi
