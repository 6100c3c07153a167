# Install rules and the Debian packages.
#   cmake --install build/release --prefix /usr/local
# installs, as the component `runtime`, bin/tolvarin,
# share/man/man1/tolvarin.1 and share/doc/tolvarin/; as the component
# `library`, the shared library lib/libtolvarin.so.<version> and its name
# lib/libtolvarin.so.<major>, what programs linked with it load; as the
# component `development`, what other programs are built with:
# lib/libtolvarin.so (the name the linker looks for), lib/libtolvarin.a, the
# headers in include/tolvarin/, the CMake package in lib/cmake/tolvarin/
# (find_package(tolvarin) gives tolvarin::tolvarin) and
# lib/pkgconfig/tolvarin.pc. With TOLVARIN_DEBIAN_LAYOUT the manual page is
# installed compressed, with the copyright file and changelog a Debian package
# carries in each package's documentation directory; `cpack` then builds the
# packages tolvarin, libtolvarin<major> and libtolvarin-dev, one for each
# component, as Debian lays a library out.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The manual page gets the version from the project and the date of the
# release's changelog entry.
set(TOLVARIN_MANUAL_DATE "2026-12-08")
configure_file(${PROJECT_SOURCE_DIR}/doc/tolvarin.1.in ${PROJECT_BINARY_DIR}/tolvarin.1 @ONLY)

install(TARGETS tolvarin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

# The library, for programs that convert in memory.
set(tolvarin_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tolvarin)
set(tolvarin_library_targets tolvarin_library)
if(tolvarin_shared_library)
  list(APPEND tolvarin_library_targets tolvarin_shared)
endif()
install(TARGETS ${tolvarin_library_targets} EXPORT tolvarin_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development)
install(FILES ${PROJECT_SOURCE_DIR}/include/tolvarin/tolvarin.hpp ${PROJECT_SOURCE_DIR}/include/tolvarin/tolvarin.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvarin COMPONENT development)
install(EXPORT tolvarin_targets NAMESPACE tolvarin:: FILE tolvarin-targets.cmake
        DESTINATION ${tolvarin_cmake_dir} COMPONENT development)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tolvarin-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/tolvarin-config.cmake ${PROJECT_BINARY_DIR}/tolvarin-config-version.cmake
        DESTINATION ${tolvarin_cmake_dir} COMPONENT development)
# A static link (pkg-config --static) names the C++ runtime, which a C
# program's link leaves out, and the threads library.
list(TRANSFORM tolvarin_cxx_runtime PREPEND -l OUTPUT_VARIABLE tolvarin_pc_private)
list(APPEND tolvarin_pc_private -pthread)
list(JOIN tolvarin_pc_private " " tolvarin_pc_private)
# The pkg-config file names the prefix it is installed under, which
# `cmake --install --prefix` may change after configuring. Everything else
# is filled in now, the placeholder for the prefix left as it is; the prefix
# is filled in when the file is installed, made absolute as a relative
# --prefix is taken (a package build installs with the prefix /usr into its
# staging directory).
set(tolvarin_install_prefix "@tolvarin_install_prefix@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tolvarin.pc.in ${PROJECT_BINARY_DIR}/tolvarin.pc.in @ONLY)
install(CODE "get_filename_component(tolvarin_install_prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  configure_file(\"${PROJECT_BINARY_DIR}/tolvarin.pc.in\" \"${PROJECT_BINARY_DIR}/tolvarin.pc\" @ONLY)"
  COMPONENT development)
install(FILES ${PROJECT_BINARY_DIR}/tolvarin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

if(NOT TOLVARIN_DEBIAN_LAYOUT)
  install(FILES ${PROJECT_BINARY_DIR}/tolvarin.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
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
install(FILES ${PROJECT_BINARY_DIR}/tolvarin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
# Each package carries the copyright file and changelog in its own
# documentation directory: the library's packages do not depend on the
# converter's.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
set(tolvarin_library_package libtolvarin${PROJECT_VERSION_MAJOR})
foreach(component IN ITEMS library development)
  set(package ${tolvarin_library_package})
  if(component STREQUAL "development")
    set(package libtolvarin-dev)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()
# A packaged static library is stripped as Debian strips one: its debugging
# information, the compiler's identification (.comment) and .note sections
# go, its symbols stay. CPACK_STRIP_FILES strips programs and shared
# libraries only.
install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug --remove-section=.comment --remove-section=.note
    --enable-deterministic-archives \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libtolvarin.a\"
    COMMAND_ERROR_IS_FATAL ANY)" COMPONENT development)

# The shared library is stripped as Debian strips one: what its dynamic
# symbols do not need, the compiler's identification and .note sections go.
if(tolvarin_shared_library)
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded --remove-section=.comment
      --remove-section=.note \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:tolvarin_shared>\"
      COMMAND_ERROR_IS_FATAL ANY)" COMPONENT library)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvarin)
set(CPACK_PACKAGE_VENDOR "The Tolvarin authors")
set(CPACK_PACKAGE_CONTACT "The Tolvarin authors")
# One package for each component; every package's description holds its own
# synopsis, so there is no common one to put in front of them.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime library development)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The maintainer's address is the project owner's to give; none is made up.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Tolvarin authors")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tolvarin)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "converter of Zarq song containers to Standard MIDI Files
Tolvarin reads a Zarq container, a file holding up to four songs in a
compact event form, and writes each song as a single-track Standard MIDI
File beside it, named after the container and the song's number. Outputs
are written to a temporary file and renamed into place, so a failure or an
interruption never leaves a half-written file under an output's name.")

# The shared library alone, what programs linked with it need at run time.
# Its shlibs file tells dpkg-shlibdeps which package and version a program
# built against it depends on; the libraries it needs in turn come from the
# binary, and the loader's cache is renewed through dpkg's ldconfig trigger.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${tolvarin_library_package})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SOURCE tolvarin)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_TOLVARIN_LIBRARY_PACKAGE ${tolvarin_library_package})
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb_ldconfig_trigger.cmake)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "Zarq song container conversion library
The library behind the tolvarin converter, for programs that convert Zarq
containers themselves: it finds the songs of a container held in memory and
converts each into a single-track Standard MIDI File, handed out in pieces
or kept whole in memory, byte for byte what the converter writes.
.
This package holds the shared library.")

# The library's interface: the name the linker takes for the shared
# library, the static library, the headers, the CMake package and the
# pkg-config file. What is linked statically needs nothing of it at run time;
# what is linked with the shared library needs exactly this version's.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtolvarin-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SOURCE tolvarin)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${tolvarin_library_package} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "Zarq song container conversion library - development files
The library behind the tolvarin converter, for programs that convert Zarq
containers themselves: it finds the songs of a container held in memory and
converts each into a single-track Standard MIDI File, handed out in pieces
or kept whole in memory, byte for byte what the converter writes.
.
This package holds what programs are built with: the shared library's link,
the static library, its C++ and C headers, a CMake package
(find_package(tolvarin) gives the target tolvarin::tolvarin) and a
pkg-config file.")
include(CPack)
