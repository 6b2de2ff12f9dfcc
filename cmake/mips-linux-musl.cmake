# Cross build for the board as it ships: 32-bit big-endian (ath79 boards) MIPS with
# musl, static programs, tests under qemu-mips.
#
#   scripts/musl-sysroot mips
#   cmake -S . -B build-musl-mips -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-musl.cmake
set(GW_MUSL_TARGET mips)
include("${CMAKE_CURRENT_LIST_DIR}/musl.cmake")
