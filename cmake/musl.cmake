# Shared part of the musl cross builds (cmake/mipsel-linux-musl.cmake,
# cmake/mips-linux-musl.cmake): the board's own C library, musl, with Zig's
# clang and libc++, programs linked statically, tests run under qemu-user.
# scripts/musl-sysroot prepares the compiler and the dependencies under
# .musl/. This file is read again for every try_compile, so it only uses
# what it can recompute.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${GW_MUSL_TARGET})

get_filename_component(_gw_musl "${CMAKE_CURRENT_LIST_DIR}/../.musl" ABSOLUTE)
set(_gw_sysroot "${_gw_musl}/${GW_MUSL_TARGET}/sysroot")
if(NOT EXISTS "${_gw_sysroot}/usr/lib/libgtest.a")
  message(FATAL_ERROR "musl sysroot missing at ${_gw_sysroot}: run scripts/musl-sysroot")
endif()

set(CMAKE_C_COMPILER "${_gw_musl}/bin/${GW_MUSL_TARGET}-linux-musl-cc")
set(CMAKE_CXX_COMPILER "${_gw_musl}/bin/${GW_MUSL_TARGET}-linux-musl-c++")
set(CMAKE_AR "${_gw_musl}/bin/${GW_MUSL_TARGET}-linux-musl-ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${_gw_musl}/bin/${GW_MUSL_TARGET}-linux-musl-ranlib" CACHE FILEPATH "")

# The compiler brings its own musl and libc++; only our dependencies come
# from the sysroot, so it is a search root, not the compiler's --sysroot.
set(CMAKE_FIND_ROOT_PATH "${_gw_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} "${_gw_sysroot}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_gw_sysroot}")
set(ENV{PKG_CONFIG_PATH} "")

# Static programs, as the libraries are static: nothing to load under qemu.
# Zig's compiler emits debug sections unless told otherwise; the build type
# adds -g where it wants them.
set(CMAKE_C_FLAGS_INIT "-g0")
set(CMAKE_CXX_FLAGS_INIT "-g0")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs every test through this, and tests get it as GW_TEST_EMULATOR
# to start the programs.
find_program(GW_QEMU_${GW_MUSL_TARGET} NAMES qemu-${GW_MUSL_TARGET} qemu-${GW_MUSL_TARGET}-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${GW_QEMU_${GW_MUSL_TARGET}}")
