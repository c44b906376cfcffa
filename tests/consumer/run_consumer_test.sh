#!/usr/bin/env bash
# Installs a built libzelvo_stitch into a temporary prefix and uses it as a host
# project would: checks the installed layout and the symbol versions, builds
# tools/examples/two_images.cpp through find_package(ZelvoStitch) and through
# pkg-config, and runs both on two frames of the bundled footage: their output
# and fusion map must equal those of the build tree's copy.
# Usage: run_consumer_test.sh <build-dir> [<consumer-source-dir>]
# CXX picks the compiler (default c++). Exits non-zero on the first failure.
set -euo pipefail
build=$(cd "${1:?usage: $0 <build-dir> [<consumer-source-dir>]}" && pwd)
src=$(cd "${2:-$(dirname "$0")}" && pwd)
root=$(cd "$src/../.." && pwd)
cxx=${CXX:-c++}
unset DESTDIR # the checks below expect the files right under the prefix
work=$(mktemp -d "${TMPDIR:-/tmp}/zelvo-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "consumer test: FAILED: $*" >&2; exit 1; }
logged() { "$@" >"$work/log" 2>&1 || { cat "$work/log" >&2; return 1; }; }
loads() { ldd "$1" | awk '/libzelvo_stitch/ {print $3}'; }

logged cmake --install "$build" --prefix "$prefix" || fail "cmake --install"

# Installed layout: the header's version gives the soname chain; no archives.
header=$prefix/include/zelvo_stitch.h
[ -f "$prefix/include/zelvo_stitch_host.h" ] || fail "the host kit header is not installed"
version_of() { sed -n "s/^#define ZELVO_STITCH_VERSION_$1 \\+\\([0-9]\\+\\).*/\\1/p" "$header"; }
major=$(version_of MAJOR) && version=$major.$(version_of MINOR).$(version_of PATCH)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no version macros in the installed header"
devlink=$(find "$prefix" -name libzelvo_stitch.so)
libdir=$(dirname "${devlink:?libzelvo_stitch.so not installed}") lib=$libdir/libzelvo_stitch.so.$version
[ "$(readlink "$devlink")" = "libzelvo_stitch.so.$major" ] || fail "the .so link does not name the soname"
[ "$(readlink "$libdir/libzelvo_stitch.so.$major")" = "${lib##*/}" ] || fail "the soname link does not name ${lib##*/}"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = "libzelvo_stitch.so.$major" ] || fail "soname is '$soname'"
[ -z "$(find "$prefix" -name '*.a' -o -name '*.o')" ] || fail "static archive or objects installed"
if [ -x "$build/tools/zelvo-stitch-sim" ]; then
  [ "$(loads "$prefix/bin/zelvo-stitch-sim")" -ef "$libdir/libzelvo_stitch.so.$major" ] ||
    fail "the installed simulator does not load the installed library"
fi
pkgdir=$libdir/cmake/ZelvoStitch
targets=$(grep -ho 'add_library([^ ]*' "$pkgdir"/ZelvoStitchTargets*.cmake | sort -u | tr '\n' ' ')
[ "$targets" = "add_library(ZelvoStitch::zelvo_stitch " ] || fail "exported targets are: $targets"

# Every exported symbol carries the version script's node (which names are
# exported is test_abi's business; type A entries are the nodes themselves).
unversioned=$(nm -D --defined-only "$lib" | awk 'NF >= 3 && $2 != "A" && $3 !~ /@@/ {print $3}')
[ -z "$unversioned" ] || fail "symbols outside the version script: $unversioned"

# Route 1: the CMake package, found in the temporary prefix; the imported
# target puts the installed library in the run path. A major version more is refused.
configure() { cmake -S "$src" -B "$work/$1" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DZELVO_CONSUMER_WANTS="$2"; }
logged configure cmake-build "$major.0" || fail "configuring the host project"
logged cmake --build "$work/cmake-build" || fail "building the host project"
[ "$(loads "$work/cmake-build/two_images")" -ef "$libdir/libzelvo_stitch.so.$major" ] ||
  fail "the CMake-built host does not load the installed library"
if configure cmake-next "$((major + 1)).0" >"$work/next.log" 2>&1; then fail "version $((major + 1)).0 accepted"; fi
grep -q "$version" "$work/next.log" || fail "the refusal does not name version $version"

# Route 2: pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
[ "$(pkg-config --modversion zelvo_stitch)" = "$version" ] || fail "pkg-config version is not $version"
# shellcheck disable=SC2046  # the flags are meant to split
"$cxx" -std=c++17 -O1 "$root/tools/examples/two_images.cpp" -o "$work/two_images-pc" \
  $(pkg-config --cflags --libs zelvo_stitch) || fail "compiling with pkg-config's flags"

# Both hosts (and the build tree's copy, when built) give the same shift and fusion map.
frames=("$root/samples/vtest/frame_000.jpg" "$root/samples/vtest/frame_001.jpg" 192)
"$work/cmake-build/two_images" "${frames[@]}" "$work/cmake.png" >"$work/cmake.txt" || fail "CMake-built host"
grep -Eq '^shift of the right image: -?[0-9]+ px$' "$work/cmake.txt" || fail "CMake-built host printed: $(cat "$work/cmake.txt")"
# The .pc's run path finds the library: no LD_LIBRARY_PATH, no ldconfig.
[ "$(env -u LD_LIBRARY_PATH ldd "$work/two_images-pc" | awk '/libzelvo_stitch/ {print $3}')" -ef "$libdir/libzelvo_stitch.so.$major" ] ||
  fail "the pkg-config-built host does not find the installed library by itself"
env -u LD_LIBRARY_PATH "$work/two_images-pc" "${frames[@]}" "$work/pc.png" >"$work/pc.txt" || fail "pkg-config-built host"
cmp -s "$work/cmake.txt" "$work/pc.txt" && cmp -s "$work/cmake.png" "$work/pc.png" || fail "the two routes differ"
if [ -x "$build/tools/two_images" ]; then
  "$build/tools/two_images" "${frames[@]}" "$work/tree.png" >"$work/tree.txt"
  cmp -s "$work/cmake.txt" "$work/tree.txt" && cmp -s "$work/cmake.png" "$work/tree.png" ||
    fail "the installed library's results differ from the build tree's"
fi
echo "consumer test: both routes passed against libzelvo_stitch $version, $(grep "^shift" "$work/cmake.txt")"
