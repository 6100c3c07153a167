# find_package(tolvarin) gives the imported target tolvarin::tolvarin: the
# static library, its headers and the C++20 it needs. The library starts
# threads, so its users link the threads library too.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/tolvarin-targets.cmake")
