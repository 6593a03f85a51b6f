# Cross build for a Debian architecture with Debian's cross compiler
# (g++-TRIPLET); the tests run under qemu-user. FARE_SETTLE_ARCH names the
# architecture as Debian does: arm64 armhf i386 ppc64el s390x riscv64.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES FARE_SETTLE_ARCH)
set(arches arm64:aarch64-linux-gnu:aarch64 armhf:arm-linux-gnueabihf:arm
           i386:i686-linux-gnu:i386 ppc64el:powerpc64le-linux-gnu:ppc64le
           s390x:s390x-linux-gnu:s390x riscv64:riscv64-linux-gnu:riscv64)
foreach(entry ${arches})
  string(REPLACE ":" ";" fields ${entry})
  list(GET fields 0 arch)
  if(arch STREQUAL "${FARE_SETTLE_ARCH}")
    list(GET fields 1 triplet)
    list(GET fields 2 qemu)
  endif()
endforeach()
if(NOT DEFINED triplet)
  message(FATAL_ERROR "FARE_SETTLE_ARCH='${FARE_SETTLE_ARCH}': one of arm64 armhf i386 ppc64el s390x riscv64")
endif()

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${triplet})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Linked statically, so that qemu-user needs no C library of the
# architecture: a dynamically linked i386 process under qemu 7.2 can hang
# in fork.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu})
