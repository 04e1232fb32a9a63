# Toolchain: Debian arm64 (64-bit ARM). See cross-debian.cmake.
set(TAVI_CROSS_TRIPLE aarch64-linux-gnu)
set(TAVI_CROSS_PROCESSOR aarch64)
set(TAVI_CROSS_QEMU qemu-aarch64-static)
set(TAVI_CROSS_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
