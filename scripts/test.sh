#!/usr/bin/env bash
# Sets up and runs every check, in this order, stopping at the first failure:
# the CTest suite in a release build and under AddressSanitizer +
# UndefinedBehaviorSanitizer, the thread test under ThreadSanitizer, the short
# fuzz mode, the valgrind leak check, and the arm64 cross build with its
# emulated suite and simulator comparison (README: "What the test command runs").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)

echo "== build (release) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== tests (release) =="
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build (sanitizers) =="
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZELVO_SANITIZE=ON -DZELVO_BUILD_TOOLS=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests (sanitizers) =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The per-overlap calls on several threads, under ThreadSanitizer: only the
# thread test is built and run here (the library plus one test, a couple of
# minutes); the rest of the suite gains nothing from it.
echo "== thread test (ThreadSanitizer) =="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELVO_SANITIZE=thread \
  -DZELVO_BUILD_TOOLS=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target test_threads
TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/test_threads

# Reliability checks: the short fuzz mode (clang + libFuzzer, about a minute
# after its build) and the lifecycle leak check under valgrind (a few
# minutes). ZELVO_SKIP_RELIABILITY=1 skips them.
if [ "${ZELVO_SKIP_RELIABILITY:-0}" != 1 ]; then
  echo "== fuzz (short) =="
  bash scripts/fuzz.sh --short
  echo "== leak check =="
  bash scripts/leakcheck.sh
fi

# Arm64: cross build for the device's platform, the suite under qemu-aarch64
# and the simulator's results compared with this machine's (about 10 minutes
# on 2 cores from a clean clone, 20 on a busy machine; the arm64 root is
# downloaded once into build-arm/). ZELVO_SKIP_ARM=1 skips it.
if [ "${ZELVO_SKIP_ARM:-0}" != 1 ]; then
  echo "== arm64 (cross build, emulated suite, simulator comparison) =="
  bash scripts/arm_test.sh
fi
