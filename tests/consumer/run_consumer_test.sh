#!/usr/bin/env bash
# Installs a built libzelvo_stitch into a temporary prefix and uses it the way
# a host project would:
#   1. checks the installed layout, the exported target set and the exported
#      dynamic symbols;
#   2. builds tests/consumer through find_package(ZelvoStitch) and runs it,
#      and checks that an incompatible major version is refused;
#   3. compiles the same consumer.cpp with the flags pkg-config gives for
#      zelvo_stitch and runs it.
# Usage: run_consumer_test.sh <build-dir> [<consumer-source-dir>]
# CXX picks the compiler (default c++). Exits non-zero on the first failure.
set -euo pipefail

build=$(cd "${1:?usage: $0 <build-dir> [<consumer-source-dir>]}" && pwd)
src=$(cd "${2:-$(dirname "$0")}" && pwd)
cxx=${CXX:-c++}
unset DESTDIR  # the checks below expect the files right under the prefix

work=$(mktemp -d "${TMPDIR:-/tmp}/zelvo-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "consumer test: FAILED: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log" >&2; fail "cmake --install"; }

# --- installed layout ---------------------------------------------------------
header=$prefix/include/zelvo_stitch.h
[ -f "$header" ] || fail "public header not installed at include/zelvo_stitch.h"
version_of() { sed -n "s/^#define ZELVO_STITCH_VERSION_$1 \\+\\([0-9]\\+\\).*/\\1/p" "$header"; }
major=$(version_of MAJOR); minor=$(version_of MINOR); patch=$(version_of PATCH)
version=$major.$minor.$patch
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no version macros in the installed header"

devlink=$(find "$prefix" -name libzelvo_stitch.so)
[ -n "$devlink" ] || fail "libzelvo_stitch.so not installed"
libdir=$(dirname "$devlink")
[ -L "$devlink" ] || fail "libzelvo_stitch.so is not a link"
[ "$(readlink "$devlink")" = "libzelvo_stitch.so.$major" ] || fail "libzelvo_stitch.so does not point at the soname"
[ "$(readlink "$libdir/libzelvo_stitch.so.$major")" = "libzelvo_stitch.so.$version" ] ||
  fail "libzelvo_stitch.so.$major does not point at libzelvo_stitch.so.$version"
[ -f "$libdir/libzelvo_stitch.so.$version" ] || fail "libzelvo_stitch.so.$version missing"
soname=$(objdump -p "$libdir/libzelvo_stitch.so.$version" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libzelvo_stitch.so.$major" ] || fail "soname is '$soname'"
if find "$prefix" \( -name '*.a' -o -name '*.o' \) | grep -q .; then
  fail "static archive or object files installed: $(find "$prefix" \( -name '*.a' -o -name '*.o' \))"
fi
if [ -x "$build/tools/zelvo-stitch-sim" ]; then
  sim=$prefix/bin/zelvo-stitch-sim
  [ -x "$sim" ] || fail "zelvo-stitch-sim built but not installed to bin/"
  sim_lib=$(ldd "$sim" | awk '/libzelvo_stitch/ {print $3}')
  [ "$sim_lib" -ef "$libdir/libzelvo_stitch.so.$major" ] ||
    fail "installed zelvo-stitch-sim loads '$sim_lib', not the installed library"
fi

pkgdir=$libdir/cmake/ZelvoStitch
for f in ZelvoStitchConfig.cmake ZelvoStitchConfigVersion.cmake ZelvoStitchTargets.cmake; do
  [ -f "$pkgdir/$f" ] || fail "$f not installed in $pkgdir"
done
targets=$(grep -ho 'add_library([^ ]*' "$pkgdir"/ZelvoStitchTargets*.cmake | sort -u | tr '\n' ' ')
[ "$targets" = "add_library(ZelvoStitch::zelvo_stitch " ] || fail "exported targets are: $targets"
if grep -q zelvo_stitch_objects "$pkgdir"/ZelvoStitchTargets*.cmake; then
  fail "the object library leaked into the exported targets"
fi

# --- exported symbols: only what the version script names ----------------------
lib=$libdir/libzelvo_stitch.so.$version
# Type A entries are the version nodes themselves (ZELVO_STITCH_1.0).
symbols=$(nm -D --defined-only "$lib" | awk 'NF >= 3 && $2 != "A" {print $3}')
unversioned=$(grep -v '@@' <<<"$symbols" || true)
[ -z "$unversioned" ] || fail "exported symbols outside the version script: $unversioned"
for s in zelvo_stitch_init zelvo_stitch_uninit create_dynstitcher setup_dynstitcher \
         destroy_dynstitcher zelvo_stitch_process zelvo_stitch_set_dbg_out \
         Zelvo_Stitch_Shift_Every_N_Frames decoded_md_buffer num_decoded_md_buffer; do
  grep -q "^$s@@" <<<"$symbols" || fail "entry point $s not exported"
done
leaked=$(nm -DC --defined-only "$lib" | cut -d' ' -f3- | grep -E '^(cv|std|__gnu_cxx)::' || true)
[ -z "$leaked" ] || fail "library-internal symbols exported: $leaked"
echo "$(wc -l <<<"$symbols") exported symbols, all versioned"

# --- route 1: CMake package ----------------------------------------------------
step "find_package(ZelvoStitch $major.$minor) with CMAKE_PREFIX_PATH=$prefix"
cmake -S "$src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" \
      -DZELVO_CONSUMER_WANTS="$major.$minor" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log" >&2; fail "configuring the consumer"; }
found_dir=$(sed -n 's/^ZelvoStitch_DIR:PATH=//p' "$work/cmake-build/CMakeCache.txt")
[ "$found_dir" -ef "$pkgdir" ] || fail "find_package found '$found_dir', not the temporary install"
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; fail "building the consumer"; }
# The imported target's location lands in the run path: no LD_LIBRARY_PATH.
resolved=$(ldd "$work/cmake-build/zelvo_consumer" | awk '/libzelvo_stitch/ {print $3}')
[ "$resolved" -ef "$libdir/libzelvo_stitch.so.$major" ] ||
  fail "CMake-built consumer loads '$resolved', not the installed library"
(cd "$work" && "$work/cmake-build/zelvo_consumer") || fail "CMake-built consumer"

step "find_package(ZelvoStitch $((major + 1)).0) must be refused"
if cmake -S "$src" -B "$work/cmake-build-next" -DCMAKE_PREFIX_PATH="$prefix" \
         -DCMAKE_CXX_COMPILER="$cxx" -DZELVO_CONSUMER_WANTS="$((major + 1)).0" \
         >"$work/configure-next.log" 2>&1; then
  fail "a request for version $((major + 1)).0 was accepted"
fi
grep -q "$version" "$work/configure-next.log" || { cat "$work/configure-next.log" >&2; fail "refusal does not name version $version"; }

# --- route 2: pkg-config -------------------------------------------------------
step "pkg-config zelvo_stitch with PKG_CONFIG_PATH=$libdir/pkgconfig"
export PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
pc_version=$(pkg-config --modversion zelvo_stitch) || fail "pkg-config does not find zelvo_stitch"
[ "$pc_version" = "$version" ] || fail "pkg-config version $pc_version, header says $version"
flags=$(pkg-config --cflags --libs zelvo_stitch)
# shellcheck disable=SC2086  # the flags are meant to split
"$cxx" -std=c++17 -O1 "$src/consumer.cpp" -o "$work/consumer-pc" $flags ||
  fail "compiling with: $flags"
(cd "$work" && LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH} "$work/consumer-pc") ||
  fail "pkg-config-built consumer"

echo "consumer test: both routes passed against libzelvo_stitch $version"
