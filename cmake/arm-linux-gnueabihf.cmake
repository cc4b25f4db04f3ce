# 32-bit ARM Linux, hard-float ABI (Debian's armhf), with Debian's cross
# compiler (package g++-arm-linux-gnueabihf).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
include("${CMAKE_CURRENT_LIST_DIR}/debian-rootfs.cmake")

# The __aeabi_* integer helpers exist in both libgcc_s.so and libgcc.a; taking
# them from the static archive keeps libc.so.6 the only library needed.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc")
