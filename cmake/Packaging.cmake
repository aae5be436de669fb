# Installation of the host tools and their Debian package (cpack -G DEB in a release build):
# qzp, qzpupdate, the vendor library stand-in, man pages and qzp's bash completion.
include(GNUInstallDirs)

# `install` and cpack take what is built: they do not build every test program first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(TARGET qzp)
  install(TARGETS qzp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_SOURCE_DIR}/tools/qzp/qzp.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME qzp)
endif()
if(TARGET qzpupdate AND NOT WIN32)
  install(TARGETS qzpupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET velmorin_standin)
  # Copied by hand into a device image as Windows/velmorin.dll.
  install(TARGETS velmorin_standin LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/qzp)
endif()

# Man pages, compressed as Debian installs them.
find_program(QZP_GZIP gzip)
foreach(page qzp qzpupdate)
  set(_source ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  if(QZP_GZIP)
    set(_page ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
    add_custom_command(OUTPUT ${_page}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND ${QZP_GZIP} -9n -c ${_source} > ${_page}
                       DEPENDS ${_source} VERBATIM)
    list(APPEND _qzp_man_pages ${_page})
  else()
    list(APPEND _qzp_man_pages ${_source})
  endif()
endforeach()
add_custom_target(man_pages ALL DEPENDS ${_qzp_man_pages})
if(TARGET qzp)
  add_dependencies(qzp man_pages)
endif()
install(FILES ${_qzp_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME qzp-tools)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qzp developers")
set(CPACK_PACKAGE_CONTACT "qzp developers <qzp@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "tools to make, inspect and install update packages for the handheld")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
