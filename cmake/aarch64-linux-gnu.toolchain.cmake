# Cross build for 64-bit Arm Linux (the device's platform) with Debian's cross
# compiler (crossbuild-essential-arm64) against an arm64 Debian root.
#
#   cmake -S . -B build-arm/cross \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.toolchain.cmake \
#         -DZELVO_ARM_SYSROOT=/path/to/arm64-root
#
# The root is an extract-only Debian tree (scripts/arm_test.sh makes one with
# mmdebstrap --variant=extract): no maintainer scripts ran in it, so it has no
# update-alternatives links and no ld.so cache. OpenCV's core library needs
# libblas.so.3 and liblapack.so.3, which then exist only in their own folders
# (usr/lib/aarch64-linux-gnu/blas and .../lapack); those folders go to the
# linker's -rpath-link and to the emulated program's library path.
#
# Test programs run under user-mode emulation (qemu-aarch64 -L <root>), both
# for CTest and for gtest_discover_tests, which lists each test program's
# cases at build time.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The root: -DZELVO_ARM_SYSROOT, else the environment variable of that name,
# else the folder that scripts/arm_test.sh fills. try_compile projects
# re-read this file without the cache, hence the forwarding below.
if(NOT ZELVO_ARM_SYSROOT)
  if(DEFINED ENV{ZELVO_ARM_SYSROOT})
    set(ZELVO_ARM_SYSROOT "$ENV{ZELVO_ARM_SYSROOT}")
  else()
    get_filename_component(ZELVO_ARM_SYSROOT
                           "${CMAKE_CURRENT_LIST_DIR}/../build-arm/sysroot" ABSOLUTE)
  endif()
endif()
set(ZELVO_ARM_SYSROOT "${ZELVO_ARM_SYSROOT}" CACHE PATH "arm64 Debian root to build against")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELVO_ARM_SYSROOT)
if(NOT EXISTS "${ZELVO_ARM_SYSROOT}/usr/lib/aarch64-linux-gnu/libc.so")
  message(FATAL_ERROR "no arm64 root at '${ZELVO_ARM_SYSROOT}' (run scripts/arm_test.sh, "
                      "or pass -DZELVO_ARM_SYSROOT=<root>)")
endif()

set(CMAKE_SYSROOT "${ZELVO_ARM_SYSROOT}")
# Headers, libraries and CMake packages come from the root only; programs
# (the compiler, pkg-config, the emulator) from this machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(_zelvo_arm_libdir "${ZELVO_ARM_SYSROOT}/usr/lib/aarch64-linux-gnu")
set(ZELVO_ARM_RUNTIME_PATH "${_zelvo_arm_libdir}/blas:${_zelvo_arm_libdir}/lapack")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT
      "-Wl,-rpath-link,${_zelvo_arm_libdir}/blas -Wl,-rpath-link,${_zelvo_arm_libdir}/lapack")
endforeach()

find_program(ZELVO_QEMU_AARCH64 qemu-aarch64)
if(ZELVO_QEMU_AARCH64)
  # -L: the guest's loader and libraries come from the root; -E sets the
  # guest's library path without touching qemu's own (a host program).
  set(CMAKE_CROSSCOMPILING_EMULATOR
      "${ZELVO_QEMU_AARCH64};-L;${ZELVO_ARM_SYSROOT};-E;LD_LIBRARY_PATH=${ZELVO_ARM_RUNTIME_PATH}")
endif()
