# Cross builds for another Debian architecture on a Debian 12 machine, with the cross compiler
# of crossbuild-essential-<arch> and the <arch> libraries installed beside the machine's own
# (multiarch: /usr/lib/<triple>). Programs built here run under qemu-user; CTest and
# gtest_discover_tests run them through CMAKE_CROSSCOMPILING_EMULATOR.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...   (or arm-linux-gnueabihf.cmake)
# Those two files set TAVI_CROSS_TRIPLE and TAVI_CROSS_QEMU, then include this one.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TAVI_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${TAVI_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAVI_CROSS_TRIPLE}-g++)
# find_library and find_package look in /usr/lib/<triple> (and /usr/lib/<triple>/cmake) first;
# the machine's own libraries live in /usr/lib/x86_64-linux-gnu and are never picked.
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVI_CROSS_TRIPLE})
# pkg-config reads only the target's .pc files (and the architecture-independent ones).
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TAVI_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Every program the build runs (test discovery, the tests, the sandbox) runs under qemu-user;
# the target's dynamic loader and libraries are installed natively (multiarch), so no -L prefix.
find_program(TAVI_CROSS_EMULATOR ${TAVI_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVI_CROSS_EMULATOR})
# Debian packages for the target architecture (dpkg-shlibdeps reads it too).
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TAVI_CROSS_DEB_ARCH})
# libsimdjson-dev is installed for the machine only; see cross/simdjson-config.cmake.
set(simdjson_DIR ${CMAKE_CURRENT_LIST_DIR}/cross CACHE PATH "simdjson for the cross build")
# GNUInstallDirs picks Debian's multiarch directory (lib/<triple>) only for native builds; the
# target's packages install there too, as the machine's own do.
set(CMAKE_INSTALL_LIBDIR lib/${TAVI_CROSS_TRIPLE} CACHE PATH "Object code libraries (multiarch)")
