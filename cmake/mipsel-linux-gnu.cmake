# Cross build for the gateway's 32-bit little-endian MIPS board with Debian's
# g++-mipsel-linux-gnu; tests run under qemu-user.
#
#   scripts/mipsel-sysroot
#   cmake -S . -B build-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-gnu.cmake
#
# C library, libstdc++ and libatomic come with the cross compiler
# (/usr/mipsel-linux-gnu); our dependencies' headers and libraries come from the
# private sysroot that scripts/mipsel-sysroot unpacks. GW_MIPSEL_SYSROOT in
# the environment points elsewhere. This file is read again for every
# try_compile, so it only uses what it can recompute from the environment.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(DEFINED ENV{GW_MIPSEL_SYSROOT})
  set(_gw_sysroot "$ENV{GW_MIPSEL_SYSROOT}")
else()
  get_filename_component(_gw_sysroot "${CMAKE_CURRENT_LIST_DIR}/../.sysroot/mipsel" ABSOLUTE)
endif()
if(NOT EXISTS "${_gw_sysroot}/usr/lib/mipsel-linux-gnu/libgtest.a")
  message(FATAL_ERROR "mipsel sysroot missing at ${_gw_sysroot}: run scripts/mipsel-sysroot")
endif()
set(_gw_cross_libc /usr/mipsel-linux-gnu/lib)
set(_gw_sysroot_libs "${_gw_sysroot}/usr/lib/mipsel-linux-gnu:${_gw_sysroot}/lib/mipsel-linux-gnu")

# Debian's cross g++ finds its own libc and libstdc++ relative to its prefix
# even with --sysroot; what --sysroot changes is /usr/include and /usr/lib,
# which then mean the sysroot's instead of the host's amd64 ones.
set(CMAKE_SYSROOT "${_gw_sysroot}")
set(CMAKE_FIND_ROOT_PATH "${_gw_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the sysroot's .pc files and prefix their paths.
set(ENV{PKG_CONFIG_LIBDIR} "${_gw_sysroot}/usr/lib/mipsel-linux-gnu/pkgconfig:${_gw_sysroot}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_gw_sysroot}")
set(ENV{PKG_CONFIG_PATH} "")

# The board's C library has a 64-bit time_t; build against the same layout.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")

# With --sysroot, ld looks for the libraries our libraries need (libcrypto
# needs libatomic.so.1) under the sysroot only; name both places.
set(_gw_rpath_link "-Wl,-rpath-link,${_gw_sysroot_libs}:${_gw_cross_libc}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_gw_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_gw_rpath_link}")

# ctest runs every test through this, and tests get it as GW_TEST_EMULATOR to
# start the programs: one plain argv prefix, absolute paths, the environment
# set by qemu itself (-E) so that no wrapper shell is needed. The cross libc
# goes first in the library path, then the sysroot's libraries.
find_program(GW_QEMU_MIPSEL NAMES qemu-mipsel qemu-mipsel-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
  "${GW_QEMU_MIPSEL}" -L /usr/mipsel-linux-gnu
  -E "LD_LIBRARY_PATH=${_gw_cross_libc}:${_gw_sysroot_libs}")
