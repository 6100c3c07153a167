# Cross-compiling for another Linux architecture with Debian's cross
# compilers; programs built here run through qemu-user.
#   -DCROSS_ARCH=aarch64   64-bit Arm
#   -DCROSS_ARCH=s390x     IBM Z: big-endian
#   -DCROSS_ARCH=i686      32-bit x86: the data model of the 32-bit Windows target
if(NOT CROSS_ARCH)
  message(FATAL_ERROR "set CROSS_ARCH to aarch64, s390x or i686")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CROSS_ARCH)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_ARCH})
set(triple ${CROSS_ARCH}-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(CROSS_ARCH STREQUAL "i686")
  set(qemu qemu-i386)
else()
  set(qemu qemu-${CROSS_ARCH})
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triple})
