# x86_64 Linux for an interpreter that the build host does not have (Debian's
# newer releases): the host's own compiler, the target's Python headers.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
include("${CMAKE_CURRENT_LIST_DIR}/debian-rootfs.cmake")
