# Cross build for another Debian architecture with Debian's own cross
# compiler, tests run here under qemu-user (package qemu-user-static):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/linux-cross.cmake \
#         -DPLIVEX_CROSS_ARCH=armhf
#
# PLIVEX_CROSS_ARCH is the Debian name of the architecture; each row below
# gives its GNU triplet (the compiler is g++-<triplet>, its libraries are in
# /usr/<triplet>), CMake's processor name and the emulator:
#
#   i386    i686-linux-gnu        32-bit x86: an x86-64 kernel runs it itself (or,
#                                 one without its IA-32 emulation, qemu-i386)
#   armhf   arm-linux-gnueabihf   32-bit ARM with hardware floating point
#   arm64   aarch64-linux-gnu     64-bit ARM
#   s390x   s390x-linux-gnu       64-bit IBM Z, big-endian
#
# The programs built here are for running here: they find their C and C++
# libraries in /usr/<triplet>, not where that architecture's own Debian has
# them.

set(plivex_cross_rows
  "i386 i686-linux-gnu i686 -"
  "armhf arm-linux-gnueabihf arm qemu-arm-static"
  "arm64 aarch64-linux-gnu aarch64 qemu-aarch64-static"
  "s390x s390x-linux-gnu s390x qemu-s390x-static")

# try_compile() reads this file again in a project of its own: pass the
# choice on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLIVEX_CROSS_ARCH PLIVEX_CROSS_RUNS_NATIVELY)

set(plivex_cross_known "")
foreach(row IN LISTS plivex_cross_rows)
  separate_arguments(row)
  list(GET row 0 arch)
  list(APPEND plivex_cross_known ${arch})
  if(arch STREQUAL "${PLIVEX_CROSS_ARCH}")
    list(GET row 1 PLIVEX_CROSS_TRIPLET)
    list(GET row 2 CMAKE_SYSTEM_PROCESSOR)
    list(GET row 3 plivex_cross_emulator)
  endif()
endforeach()
if(NOT PLIVEX_CROSS_TRIPLET)
  list(JOIN plivex_cross_known ", " plivex_cross_known)
  message(FATAL_ERROR "Set PLIVEX_CROSS_ARCH to one of: ${plivex_cross_known} "
                      "(it is \"${PLIVEX_CROSS_ARCH}\")")
endif()

set(CMAKE_SYSTEM_NAME Linux)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  # No notes that the calling convention of some arguments changed in
  # GCC 7.1: every object here is built by one compiler.
  set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)
endif()
set(CMAKE_CXX_COMPILER ${PLIVEX_CROSS_TRIPLET}-g++)
set(plivex_sysroot /usr/${PLIVEX_CROSS_TRIPLET})

# Libraries and headers come from the cross environment only; programs
# (Python for the end-to-end tests) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${plivex_sysroot})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(plivex_cross_emulator STREQUAL "-")
  # Run directly: the programs name the cross environment's loader and look
  # for their libraries there, so the tests see the real process (its
  # system calls, a preloaded library) as they do natively.
  set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=${plivex_sysroot}/lib/ld-linux.so.2 -Wl,-rpath,${plivex_sysroot}/lib")
  # Not every x86-64 kernel runs 32-bit programs (one built without, or
  # started with, its IA-32 emulation off says "Exec format error"): a
  # program built so is tried once, and where it does not run, qemu-user
  # runs them all, with the loader and libraries they name.
  if(NOT DEFINED PLIVEX_CROSS_RUNS_NATIVELY)
    set(probe ${CMAKE_BINARY_DIR}/plivex-cross-probe)
    file(WRITE ${probe}.cpp "int main() { return 0; }\n")
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${CMAKE_EXE_LINKER_FLAGS_INIT} ${probe}.cpp -o ${probe}
                    RESULT_VARIABLE built OUTPUT_QUIET ERROR_QUIET)
    execute_process(COMMAND ${probe} RESULT_VARIABLE ran OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE ${probe}.cpp ${probe})
    if(built EQUAL 0 AND ran EQUAL 0)
      set(PLIVEX_CROSS_RUNS_NATIVELY ON CACHE BOOL "The kernel runs the programs of the cross build itself")
    else()
      set(PLIVEX_CROSS_RUNS_NATIVELY OFF CACHE BOOL "The kernel runs the programs of the cross build itself")
    endif()
  endif()
  if(NOT PLIVEX_CROSS_RUNS_NATIVELY)
    set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
  endif()
else()
  # qemu-user finds the loader and the libraries under -L.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${plivex_cross_emulator} -L ${plivex_sysroot})
endif()
