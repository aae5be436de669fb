# Cross build for Windows with Debian's MinGW-w64 compilers (g++-mingw-w64-x86-64 or
# g++-mingw-w64-i686, the posix-threads variant, which std::thread needs), Debian's MinGW zlib
# (libz-mingw-w64-dev) and a static libsodium built by scripts/mingw_libsodium.sh. Included by the
# per-target files, which set _qzp_triple and the processor.
#
# The programs are linked with the static C and C++ runtimes so that each .exe runs on its own.
# The header-only CLI11 and nlohmann-json of the build machine are offered to the cross build
# through a small generated prefix (a symlink per library and an imported target), so that
# /usr/include as a whole never reaches the cross compiler.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${_qzp_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_qzp_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_qzp_triple}-windres)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# zlib as a static library: the import library would make the programs depend on zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_INCLUDE_DIR /usr/${_qzp_triple}/include CACHE PATH "MinGW zlib headers")
set(ZLIB_LIBRARY /usr/${_qzp_triple}/lib/libz.a CACHE FILEPATH "MinGW static zlib")

# Header-only libraries of the build machine, each behind its own include directory.
set(_qzp_extra ${CMAKE_BINARY_DIR}/mingw-extra)
function(_qzp_offer_header_library package target header_dir)
  set(_include ${_qzp_extra}/${package}/include)
  file(MAKE_DIRECTORY ${_include})
  if(EXISTS /usr/include/${header_dir} AND NOT EXISTS ${_include}/${header_dir})
    file(CREATE_LINK /usr/include/${header_dir} ${_include}/${header_dir} SYMBOLIC)
  endif()
  file(WRITE ${_qzp_extra}/${package}/lib/cmake/${package}/${package}Config.cmake
       "if(NOT TARGET ${target})\n"
       "  add_library(${target} INTERFACE IMPORTED)\n"
       "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${_include}\")\n"
       "endif()\n")
endfunction()
_qzp_offer_header_library(CLI11 CLI11::CLI11 CLI)
_qzp_offer_header_library(nlohmann_json nlohmann_json::nlohmann_json nlohmann)

# Static libsodium built from Debian's source package by scripts/mingw_libsodium.sh.
get_filename_component(_qzp_sodium ${CMAKE_CURRENT_LIST_DIR}/../../build/libsodium-${_qzp_triple}
                       ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${_qzp_triple} ${_qzp_extra}/CLI11 ${_qzp_extra}/nlohmann_json
                         ${_qzp_sodium})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
