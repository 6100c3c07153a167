# Install rules and the Debian package.
#   cmake --install build/release --prefix /usr/local
# installs bin/tolvarin, share/man/man1/tolvarin.1 and share/doc/tolvarin/.
# With TOLVARIN_DEBIAN_LAYOUT the manual page is installed compressed, with
# the copyright file and changelog a Debian package carries; `cpack` then
# builds the package from it.
include(GNUInstallDirs)

# The manual page gets the version from the project and the date of the
# release's changelog entry.
set(TOLVARIN_MANUAL_DATE "2026-12-08")
configure_file(${PROJECT_SOURCE_DIR}/doc/tolvarin.1.in ${PROJECT_BINARY_DIR}/tolvarin.1 @ONLY)

install(TARGETS tolvarin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(NOT TOLVARIN_DEBIAN_LAYOUT)
  install(FILES ${PROJECT_BINARY_DIR}/tolvarin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

# Debian compresses manual pages and changelogs with gzip -9 and no name or
# time stamp (-n), so that the same sources give the same package.
find_program(TOLVARIN_GZIP gzip REQUIRED)
function(tolvarin_gzip source target)
  execute_process(COMMAND ${TOLVARIN_GZIP} -9 -n -c ${source} OUTPUT_FILE ${target} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
# A package whose version has no Debian revision is a native one: its
# changelog is changelog.gz.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
tolvarin_gzip(${PROJECT_BINARY_DIR}/tolvarin.1 ${PROJECT_BINARY_DIR}/tolvarin.1.gz)
tolvarin_gzip(${PROJECT_BINARY_DIR}/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/tolvarin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvarin)
set(CPACK_PACKAGE_VENDOR "The Tolvarin authors")
set(CPACK_PACKAGE_CONTACT "The Tolvarin authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converter of Zarq song containers to Standard MIDI Files")
set(CPACK_PACKAGE_DESCRIPTION "Tolvarin reads a Zarq container, a file holding up to four songs in a
compact event form, and writes each song as a single-track Standard MIDI
File beside it, named after the container and the song's number. Outputs
are written to a temporary file and renamed into place, so a failure or an
interruption never leaves a half-written file under an output's name.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer's address is the project owner's to give; none is made up.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Tolvarin authors")
include(CPack)
