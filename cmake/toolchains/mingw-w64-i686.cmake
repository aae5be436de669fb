# 32-bit Windows (i686) with MinGW-w64: pointers, `long` and the callback arguments are 32 bits
# wide, as on the device.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(_qzp_triple i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
