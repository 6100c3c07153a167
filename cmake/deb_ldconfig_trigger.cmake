# Run by cpack once the packages are built (CPACK_POST_BUILD_SCRIPTS): the
# shared library's package gets its loader cache renewed as Debian does it,
# through dpkg's ldconfig trigger, instead of the maintainer scripts calling
# ldconfig that CPack writes for a library under /usr/lib. The package is
# unpacked, its postinst and postrm (which do nothing else) replaced by a
# triggers file, and built again.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${package} NAME)
  if(NOT name MATCHES "^${CPACK_TOLVARIN_LIBRARY_PACKAGE}_")
    continue()
  endif()
  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/ldconfig-trigger)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND dpkg-deb -R ${package} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
  file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${package} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
