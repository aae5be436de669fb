# 64-bit atomics are library calls on targets without 64-bit exclusive loads (ARMv5TE):
# qzp_atomic links libatomic where a program using them would not link otherwise.
include(CheckCXXSourceCompiles)
set(_qzp_atomic_probe "
#include <atomic>
#include <cstdint>
std::atomic<uint64_t> counter{0};
int main() { return static_cast<int>(++counter + counter.load()); }")
check_cxx_source_compiles("${_qzp_atomic_probe}" QZP_ATOMIC_BUILTIN)
add_library(qzp_atomic INTERFACE)
if(NOT QZP_ATOMIC_BUILTIN)
  set(CMAKE_REQUIRED_LIBRARIES atomic)
  check_cxx_source_compiles("${_qzp_atomic_probe}" QZP_ATOMIC_WITH_LIBATOMIC)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(NOT QZP_ATOMIC_WITH_LIBATOMIC)
    message(FATAL_ERROR "64-bit atomics need libatomic, which was not found")
  endif()
  target_link_libraries(qzp_atomic INTERFACE atomic)
endif()
