#!/usr/bin/env bash
# Builds the library, the tests and the simulator for 64-bit Arm (the device's
# platform), runs the whole test suite under user-mode emulation, then runs the
# simulator on a few frames of the bundled footage natively and under
# emulation and compares its results byte for byte. Fails if any step fails.
#
# Usage: scripts/arm_test.sh           (as root, or with sudo for apt)
#
# Environment (all optional):
#   ZELVO_ARM_DIR      folder for everything it makes (default build-arm)
#   ZELVO_ARM_SYSROOT  arm64 Debian root to use or create (default <dir>/sysroot)
#   ZELVO_ARM_FRAMES   frames the simulator plays in the comparison (default 30)
#   JOBS               parallel build and test jobs (default: number of cores)
#
# The arm64 root is an extract-only Debian tree made by mmdebstrap (about a
# minute or two of downloads and 1 GB on disk); it is made once and reused
# while its package list is unchanged.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# Cross compiler, emulator, root builder; the native build's packages too.
bash scripts/setup.sh crossbuild-essential-arm64 qemu-user mmdebstrap

dir=${ZELVO_ARM_DIR:-build-arm}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
sysroot=${ZELVO_ARM_SYSROOT:-$dir/sysroot}
frames=${ZELVO_ARM_FRAMES:-30}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

start=$SECONDS
timings=()
phase_start=$SECONDS
phase() {  # ends the running phase under the given name
    timings+=("$(printf '%-34s %4d s' "$1" $((SECONDS - phase_start)))")
    phase_start=$SECONDS
}
report_timings() {
    echo "== arm timings =="
    printf '  %s\n' "${timings[@]}"
    printf '  %-34s %4d s\n' "total" $((SECONDS - start))
}
trap 'report_timings' EXIT

# --- arm64 root ------------------------------------------------------------
# The -dev packages the build links against (libopencv-dev carries OpenCV's
# CMake package, which needs every module), plus the C and C++ runtime
# headers and start files that the cross compiler takes from the root.
root_packages=libopencv-dev,libgtest-dev,libgmock-dev,libc6-dev,libstdc++-12-dev
stamp=$sysroot/.zelvo-arm-root
if [ "$(cat "$stamp" 2>/dev/null)" != "$root_packages" ]; then
    echo "== arm64 root: $sysroot =="
    rm -rf "$sysroot" "$sysroot.partial"
    mkdir -p "$(dirname "$sysroot")"
    # Extract only: no package scripts run, so no emulation is needed here.
    # The download is retried: a passing mirror hiccup is not a failure of
    # the code under test.
    for attempt in 1 2 3; do
        rm -rf "$sysroot.partial"
        if mmdebstrap --variant=extract --architectures=arm64 --include="$root_packages" \
            bookworm "$sysroot.partial" </dev/null >"$dir/mmdebstrap.log" 2>&1; then
            break
        fi
        tail -n 30 "$dir/mmdebstrap.log" >&2
        [ "$attempt" -lt 3 ] || { echo "arm_test: mmdebstrap failed 3 times" >&2; exit 1; }
        echo "arm_test: mmdebstrap failed (attempt $attempt), retrying in 20 s" >&2
        sleep 20
    done
    echo "$root_packages" >"$sysroot.partial/.zelvo-arm-root"
    mv "$sysroot.partial" "$sysroot"
    echo "  $(du -sh "$sysroot" | cut -f1) in $((SECONDS - phase_start)) s"
fi
phase "arm64 root"

# --- cross build -----------------------------------------------------------
echo "== build (arm64) =="
cmake -S . -B "$dir/cross" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.toolchain.cmake" \
      -DZELVO_ARM_SYSROOT="$sysroot" >/dev/null
cmake --build "$dir/cross" -j"$jobs"
lib=$(find "$dir/cross" -maxdepth 1 -name 'libzelvo_stitch.so.*.*' | head -n 1)
machine=$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')
echo "  $(basename "$lib"): $machine"
[ "$machine" = "AArch64" ] || { echo "arm_test: $lib is not an AArch64 object" >&2; exit 1; }
phase "cross build (library, tests, tools)"

# --- test suite under emulation ----------------------------------------------
echo "== tests (arm64, qemu-aarch64) =="
# A failing suite does not stop the simulator comparison below; the
# command fails at the end.
suite=0
ctest --test-dir "$dir/cross" --output-on-failure -j"$jobs" || suite=$?
phase "test suite under emulation"
suite_verdict() {
    [ "$suite" -eq 0 ] && return 0
    echo "arm_test: the test suite failed under emulation (see above)" >&2
    return 1
}

# --- simulator: native against emulated ---------------------------------------
sim_cross=$dir/cross/tools/zelvo-stitch-sim
if [ ! -x "$sim_cross" ]; then
    echo "== simulator comparison skipped: no zelvo-stitch-sim in this tree =="
    suite_verdict
    exit 0
fi
echo "== simulator, $frames frames: x86-64 against arm64 =="
cmake -S . -B "$dir/host" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DZELVO_BUILD_TESTS=OFF -DZELVO_BUILD_TOOLS=ON >/dev/null
cmake --build "$dir/host" -j"$jobs" --target zelvo-stitch-sim zelvo_arm_compare
sim_host=$dir/host/tools/zelvo-stitch-sim
compare=$dir/host/tools/zelvo_arm_compare
phase "native simulator build"

# The same emulation as the toolchain file gives CTest.
libdir=$sysroot/usr/lib/aarch64-linux-gnu
emulate=(qemu-aarch64 -L "$sysroot" -E "LD_LIBRARY_PATH=$libdir/blas:$libdir/lapack")
sim_args=(--frames "$frames" --quiet)
rm -rf "$dir/sim-x86_64" "$dir/sim-arm64"
"$sim_host" "${sim_args[@]}" --out "$dir/sim-x86_64" >"$dir/sim-x86_64.log"
phase "simulator run (x86-64)"
"${emulate[@]}" "$sim_cross" "${sim_args[@]}" --out "$dir/sim-arm64" >"$dir/sim-arm64.log"
phase "simulator run (arm64 emulated)"

# The library's diagnostics on standard output must match as well.
if cmp -s "$dir/sim-x86_64.log" "$dir/sim-arm64.log"; then
    echo "  standard output: identical ($(wc -l <"$dir/sim-x86_64.log") lines)"
else
    echo "  standard output: DIFFERENT"
    diff "$dir/sim-x86_64.log" "$dir/sim-arm64.log" | head -n 20 || true
fi
same=1
# quality.csv and quality.png are reported, not required: they hold wall-clock
# times (their seam figures, float results of OpenCV's seam finders included,
# agreed on the 30 default frames).
required=(shift.csv)
for f in "$dir/sim-x86_64"/fusion_map_*.png; do
    [ -e "$f" ] && required+=("$(basename "$f")")
done
"$compare" "$dir/sim-x86_64" "$dir/sim-arm64" "${required[@]}" || same=0
cmp -s "$dir/sim-x86_64.log" "$dir/sim-arm64.log" || same=0
phase "comparison"
suite_verdict
[ "$same" -eq 1 ] || { echo "arm_test: the simulator's results differ between x86-64 and arm64" >&2; exit 1; }
