# Toolchain: Debian armhf (32-bit ARMv7, hard float). See cross-debian.cmake.
set(TAVI_CROSS_TRIPLE arm-linux-gnueabihf)
set(TAVI_CROSS_PROCESSOR armv7l)
set(TAVI_CROSS_QEMU qemu-arm-static)
set(TAVI_CROSS_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
