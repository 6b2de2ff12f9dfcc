# Cross build for the board as it ships: 32-bit little-endian (ramips boards) MIPS with
# musl, static programs, tests under qemu-mipsel.
#
#   scripts/musl-sysroot mipsel
#   cmake -S . -B build-musl-mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/mipsel-linux-musl.cmake
set(GW_MUSL_TARGET mipsel)
include("${CMAKE_CURRENT_LIST_DIR}/musl.cmake")
