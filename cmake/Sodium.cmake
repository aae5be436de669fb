# libsodium as the imported target qzp_sodium. The host uses Debian's libsodium-dev; the ARM
# sysroot holds Debian's armel package (scripts/arm_sysroot.sh); the Windows builds use a static
# libsodium built from Debian's source package (scripts/mingw_libsodium.sh), whose prefix the
# toolchain files add to the search path. Cross builds link it statically.
find_path(QZP_SODIUM_INCLUDE_DIR sodium.h)
if(CMAKE_CROSSCOMPILING)
  find_library(QZP_SODIUM_LIBRARY NAMES libsodium.a)
else()
  find_library(QZP_SODIUM_LIBRARY NAMES sodium)
endif()
if(NOT QZP_SODIUM_INCLUDE_DIR OR NOT QZP_SODIUM_LIBRARY)
  message(FATAL_ERROR "libsodium not found (host: install libsodium-dev; ARM: run "
                      "scripts/arm_sysroot.sh; Windows: run scripts/mingw_libsodium.sh)")
endif()
add_library(qzp_sodium INTERFACE)
target_include_directories(qzp_sodium SYSTEM INTERFACE ${QZP_SODIUM_INCLUDE_DIR})
target_link_libraries(qzp_sodium INTERFACE ${QZP_SODIUM_LIBRARY})
if(WIN32)
  # The headers mark every function as imported from a DLL unless told the library is static.
  target_compile_definitions(qzp_sodium INTERFACE SODIUM_STATIC)
endif()
