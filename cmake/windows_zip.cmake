# Packs the Windows builds into one zip for Windows users:
#   Tolvarin.exe          the 32-bit x86 program
#   x86_64/Tolvarin.exe   the x86-64 program
#   README.txt            the README with Windows line ends
# cmake -DSOURCE=<source dir> -DEXE32=<exe> -DEXE64=<exe> -DOUT_DIR=<dir> -P cmake/windows_zip.cmake
file(READ ${SOURCE}/CMakeLists.txt top)
if(NOT top MATCHES "project\\(tolvarin VERSION ([0-9.]+)")
  message(FATAL_ERROR "no version in ${SOURCE}/CMakeLists.txt")
endif()
set(version ${CMAKE_MATCH_1})
get_filename_component(OUT_DIR "${OUT_DIR}" ABSOLUTE)
set(stage ${OUT_DIR}/tolvarin-${version}-windows)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage}/x86_64)
file(COPY_FILE ${EXE32} ${stage}/Tolvarin.exe)
file(COPY_FILE ${EXE64} ${stage}/x86_64/Tolvarin.exe)
file(READ ${SOURCE}/README.md readme)
string(REPLACE "\r\n" "\n" readme "${readme}")
string(REPLACE "\n" "\r\n" readme "${readme}")
file(WRITE ${stage}/README.txt "${readme}")
set(zip ${OUT_DIR}/tolvarin-${version}-windows.zip)
file(REMOVE ${zip})
execute_process(
  COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip "--mtime=2026-12-08 00:00:00 UTC"
          Tolvarin.exe x86_64/Tolvarin.exe README.txt
  WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE ${stage})
message(STATUS "Windows package: ${zip}")
