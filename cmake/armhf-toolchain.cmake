# 32-bit ARM (armhf), as on the appliance: Debian's cross compiler and Debian's
# multiarch armhf libraries, every program and test run under qemu-arm (the
# binaries' own loader, /lib/ld-linux-armhf.so.3, from libc6:armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)

# Libraries, headers and CMake packages come from the armhf multiarch folders
# (CMake searches <prefix>/lib/arm-linux-gnueabihf); programs such as ffprobe
# are the host's. pkg-config reads the armhf .pc files only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:/usr/share/pkgconfig)

# GCC notes that passing some structures changed in GCC 7.1; everything here is
# built by one compiler, so the notes only bury real messages.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
