# The Windows package of the tools (cpack -G ZIP in the `windows` or `windows-x86` build):
# qzp-<version>-win64.zip (or -win32) holding qzp.exe, qzpupdate.exe, the README and the guides
# of docs/ as text, and the licences of what the programs link in: zlib, libsodium, the MinGW-w64
# runtime (winpthreads), and the header-only CLI11 and nlohmann-json compiled into qzp.exe. The
# licences are Debian's copyright files of the packages the build uses; libsodium's is the LICENSE
# of the source tree scripts/mingw_libsodium.sh builds, when it is there.

# `install` and cpack take what is built: they do not build every test program first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS qzp RUNTIME DESTINATION .)
if(TARGET qzpupdate)
  install(TARGETS qzpupdate RUNTIME DESTINATION .)
endif()
# Text with CR LF line ends, as a Windows editor expects. The guides keep their names and folder,
# so that the README's links hold in the unpacked zip.
configure_file(${PROJECT_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/zip/README.txt @ONLY
               NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/zip/README.txt DESTINATION .)
file(GLOB _qzp_guides ${PROJECT_SOURCE_DIR}/docs/*.md)
foreach(_guide ${_qzp_guides})
  get_filename_component(_name ${_guide} NAME)
  configure_file(${_guide} ${CMAKE_BINARY_DIR}/zip/docs/${_name} @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/zip/docs/${_name} DESTINATION docs)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/docs/confirm-dialog.png ${PROJECT_SOURCE_DIR}/docs/progress-dialog.png
        DESTINATION docs)

file(GLOB _qzp_sodium_licence ${PROJECT_SOURCE_DIR}/build/libsodium-src/libsodium-*/LICENSE)
if(NOT _qzp_sodium_licence)
  set(_qzp_sodium_licence /usr/share/doc/libsodium-dev/copyright)
endif()
set(_qzp_licences
    "zlib=/usr/share/doc/libz-mingw-w64-dev/copyright"
    "libsodium=${_qzp_sodium_licence}"
    "mingw-w64=/usr/share/doc/mingw-w64-common/copyright"
    "CLI11=/usr/share/doc/libcli11-dev/copyright"
    "nlohmann-json=/usr/share/doc/nlohmann-json3-dev/copyright")
foreach(_entry ${_qzp_licences})
  string(REPLACE "=" ";" _pair "${_entry}")
  list(GET _pair 0 _name)
  list(GET _pair 1 _file)
  list(GET _file 0 _file)
  if(NOT EXISTS "${_file}")
    message(FATAL_ERROR "the licence of ${_name} is missing: ${_file}")
  endif()
  install(FILES "${_file}" DESTINATION licences RENAME "${_name}.txt")
endforeach()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(_qzp_windows win64)
else()
  set(_qzp_windows win32)
endif()
set(CPACK_PACKAGE_NAME qzp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qzp developers")
set(CPACK_PACKAGE_FILE_NAME qzp-${PROJECT_VERSION}-${_qzp_windows})
set(CPACK_GENERATOR ZIP)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
