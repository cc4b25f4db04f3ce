# Cross build for 32-bit ARM Linux, hard-float ABI (Debian's armhf), with
# Debian's cross compiler (package g++-arm-linux-gnueabihf).
#
# TARNVEL_ARMHF_ROOTFS names an armhf root file system (devtools/build_armhf.sh
# makes one) whose /usr/include holds the target interpreter's headers. Only
# the Python headers come from there: libc headers and libraries come from the
# cross toolchain (the host's: bookworm's glibc, no newer than either root
# file system's; the module asks only for GLIBC_2.4 symbols). Trixie's 64-bit
# time_t (SIZEOF_TIME_T 8 in its pyconfig.h) does not matter: no public
# Python header uses time_t.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Try-compiles see the root file system path too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNVEL_ARMHF_ROOTFS)
if(NOT TARNVEL_ARMHF_ROOTFS AND DEFINED ENV{TARNVEL_ARMHF_ROOTFS})
  set(TARNVEL_ARMHF_ROOTFS "$ENV{TARNVEL_ARMHF_ROOTFS}")
endif()
if(NOT TARNVEL_ARMHF_ROOTFS)
  message(FATAL_ERROR "Set TARNVEL_ARMHF_ROOTFS to an armhf root file system holding the Python headers")
endif()
# Whole-project try-compiles (the link-time optimisation check) do not get
# the platform variables; they read the environment.
set(ENV{TARNVEL_ARMHF_ROOTFS} "${TARNVEL_ARMHF_ROOTFS}")

# Debian's python3.X/pyconfig.h only dispatches to
# <arm-linux-gnueabihf/python3.X/pyconfig.h>; -idirafter lets that resolve in
# the root file system without letting its libc headers shadow the toolchain's.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TARNVEL_ARMHF_ROOTFS}/usr/include")

# The __aeabi_* integer helpers exist in both libgcc_s.so and libgcc.a; taking
# them from the static archive keeps libc.so.6 the only library needed.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc")

set(CMAKE_FIND_ROOT_PATH "${TARNVEL_ARMHF_ROOTFS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
