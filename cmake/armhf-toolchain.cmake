# 32-bit ARM (armhf), as on the appliance: Debian's cross compiler against an
# armhf sysroot of the project's own (scripts/make-sysroot), every program and
# test run under qemu-arm with the sysroot as its root for the loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# build/sysroot-armhf links to the sysroot, which lives outside the source tree.
get_filename_component(LUMASET_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(LUMASET_SYSROOT "${LUMASET_SOURCE_DIR}/build/sysroot-armhf" CACHE PATH
    "The armhf sysroot (scripts/make-sysroot makes it)")
get_filename_component(CMAKE_SYSROOT "${LUMASET_SYSROOT}" REALPATH)
if(NOT IS_DIRECTORY "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(FATAL_ERROR "No armhf sysroot at ${LUMASET_SYSROOT}: make it with scripts/make-sysroot")
endif()

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# Programs (ffprobe, the shell) are the host's; everything linked comes from the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")

# qemu-arm opens the loader and libraries under the sysroot first. Android's
# libraries sit in a folder of their own, which the loader is told of by its
# real path: qemu-arm's statx does not look under the sysroot, so the loader
# would take the folder named in the library's search path for missing.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L "${CMAKE_SYSROOT}"
    -E "LD_LIBRARY_PATH=${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android")

# GCC notes that passing some structures changed in GCC 7.1; everything here is
# built by one compiler, so the notes only bury real messages.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
