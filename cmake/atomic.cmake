# 64-bit atomics are not lock-free on 32-bit MIPS: there they need libatomic.
include(CheckCXXSourceCompiles)
set(_gw_atomic_probe "
#include <atomic>
#include <cstdint>
std::atomic<std::uint64_t> v{0};
int main() { return static_cast<int>(v.fetch_add(1)); }")
check_cxx_source_compiles("${_gw_atomic_probe}" GW_ATOMIC_WITHOUT_LIB)
set(GW_ATOMIC_LIBS "")
if(NOT GW_ATOMIC_WITHOUT_LIB)
  set(GW_ATOMIC_LIBS atomic)
endif()
