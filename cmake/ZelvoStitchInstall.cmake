# Installation of libzelvo_stitch for host projects, included by the top-level
# CMakeLists.txt once the zelvo_stitch target exists.
#
# Installed (GNUInstallDirs layout under the prefix):
#   include/zelvo_stitch.h, include/zelvo_stitch_host.h (the header-only host kit)
#   lib/libzelvo_stitch.so.X.Y.Z, its soname link .so.X and the .so dev link
#   lib/cmake/ZelvoStitch/  ZelvoStitchConfig.cmake, ZelvoStitchConfigVersion.cmake,
#                           ZelvoStitchTargets*.cmake (ZelvoStitch::zelvo_stitch)
#   lib/pkgconfig/zelvo_stitch.pc
# The static archive and the object library are build-internal (white-box
# tests) and stay out. The simulator installs itself from tools/.
#
# Every version number here comes from PROJECT_VERSION, which the top level
# reads from the public header.

include(CMakePackageConfigHelpers)

set(ZELVO_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ZelvoStitch)
set(ZELVO_PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/zelvo_stitch_lib/zelvo_stitch.h
    ${PROJECT_SOURCE_DIR}/zelvo_stitch_lib/zelvo_stitch_host.h)

# The target's own $<INSTALL_INTERFACE:...> include directory travels with
# the export. The shared library links OpenCV itself and takes its objects
# only through $<TARGET_OBJECTS:zelvo_stitch_objects>, so the export set holds
# this one target and nothing of the object library.
install(TARGETS zelvo_stitch EXPORT ZelvoStitchTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${ZELVO_PUBLIC_HEADER} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT ZelvoStitchTargets
  NAMESPACE ZelvoStitch::
  FILE ZelvoStitchTargets.cmake
  DESTINATION ${ZELVO_CMAKE_PACKAGE_DIR})

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/ZelvoStitchConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZelvoStitchConfig.cmake
  INSTALL_DESTINATION ${ZELVO_CMAKE_PACKAGE_DIR})
# Same major version = same soname = same ABI: 1.x satisfies a request for 1.0.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ZelvoStitchConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ZelvoStitchConfig.cmake
  ${PROJECT_BINARY_DIR}/ZelvoStitchConfigVersion.cmake
  DESTINATION ${ZELVO_CMAKE_PACKAGE_DIR})

# pkg-config file. Its prefix is found relative to the .pc file itself
# (${pcfiledir}), so a tree installed with `cmake --install --prefix <dir>` or
# moved afterwards still resolves to the right include and library paths.
set(ZELVO_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${ZELVO_PC_DIR}")
  set(ZELVO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  # Any root works: only the number of ../ steps from the .pc file matters.
  file(RELATIVE_PATH ZELVO_PC_UP /zelvo_root/${ZELVO_PC_DIR} /zelvo_root)
  string(REGEX REPLACE "/$" "" ZELVO_PC_UP "${ZELVO_PC_UP}")
  set(ZELVO_PC_PREFIX "\${pcfiledir}/${ZELVO_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(ZELVO_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(ZELVO_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/zelvo_stitch.pc.in
               ${PROJECT_BINARY_DIR}/zelvo_stitch.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zelvo_stitch.pc DESTINATION ${ZELVO_PC_DIR})

# Programs installed after this point (the simulator in tools/) find the
# installed library relative to themselves, so a tree installed under any
# prefix runs without LD_LIBRARY_PATH. The library itself needs no run path.
if(NOT DEFINED CMAKE_INSTALL_RPATH AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}"
   AND NOT IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  file(RELATIVE_PATH ZELVO_BIN_TO_LIB /zelvo_root/${CMAKE_INSTALL_BINDIR}
       /zelvo_root/${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_RPATH "$ORIGIN/${ZELVO_BIN_TO_LIB}")
endif()
