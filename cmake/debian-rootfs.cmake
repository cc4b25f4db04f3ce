# Shared by the toolchain files of the targets that devtools/build_target.sh
# builds for (one per GNU triplet beside this file): the target interpreter's
# headers come from a Debian root file system, everything else from the
# build host's compiler for that triplet.
#
# TARNVEL_TARGET_ROOTFS names the root file system (build_target.sh makes
# one) whose /usr/include holds the target interpreter's headers. Only the
# Python headers come from there: libc headers and libraries come from the
# compiler's own (the host's: bookworm's glibc, no newer than any target's
# root file system; the module asks only for old libc symbols, which
# devtools/build_wheels.sh checks). Trixie's 64-bit time_t on armhf
# (SIZEOF_TIME_T 8 in its pyconfig.h) does not matter: no public Python
# header uses time_t.
set(CMAKE_SYSTEM_NAME Linux)

# Try-compiles see the root file system path too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNVEL_TARGET_ROOTFS)
if(NOT TARNVEL_TARGET_ROOTFS AND DEFINED ENV{TARNVEL_TARGET_ROOTFS})
  set(TARNVEL_TARGET_ROOTFS "$ENV{TARNVEL_TARGET_ROOTFS}")
endif()
if(NOT TARNVEL_TARGET_ROOTFS)
  message(FATAL_ERROR "Set TARNVEL_TARGET_ROOTFS to a root file system holding the target's Python headers")
endif()
# Whole-project try-compiles (the link-time optimisation check) do not get
# the platform variables; they read the environment.
set(ENV{TARNVEL_TARGET_ROOTFS} "${TARNVEL_TARGET_ROOTFS}")

# Debian's python3.X/pyconfig.h only dispatches to
# <TRIPLET/python3.X/pyconfig.h>; -idirafter lets that resolve in the root
# file system without letting its libc headers shadow the compiler's.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${TARNVEL_TARGET_ROOTFS}/usr/include")

set(CMAKE_FIND_ROOT_PATH "${TARNVEL_TARGET_ROOTFS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
