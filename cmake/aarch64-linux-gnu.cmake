# 64-bit ARM Linux (Debian's arm64), with Debian's cross compiler (package
# g++-aarch64-linux-gnu).
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
include("${CMAKE_CURRENT_LIST_DIR}/debian-rootfs.cmake")
