# find_package(tolvarin) gives the imported targets
#   tolvarin::tolvarin_shared  the shared library, libtolvarin.so.<major>
#                              (where one is built: not on Windows)
#   tolvarin::tolvarin_static  the static library, libtolvarin.a
#   tolvarin::tolvarin         the shared library; the static one when the
#                              caller sets tolvarin_USE_STATIC_LIBS, as
#                              CMake's own find modules have it (ZLIB,
#                              OpenSSL), or when there is no shared one
# each with the headers and, for C++ sources, C++20. A C program links
# either: the static one names the C++ runtime when the C compiler links.
# The library starts threads, so its users link the threads library too.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/tolvarin-targets.cmake")
if(NOT TARGET tolvarin::tolvarin)
  add_library(tolvarin::tolvarin INTERFACE IMPORTED)
  if(TARGET tolvarin::tolvarin_shared AND NOT tolvarin_USE_STATIC_LIBS)
    set_target_properties(tolvarin::tolvarin PROPERTIES INTERFACE_LINK_LIBRARIES tolvarin::tolvarin_shared)
  else()
    set_target_properties(tolvarin::tolvarin PROPERTIES INTERFACE_LINK_LIBRARIES tolvarin::tolvarin_static)
  endif()
endif()
