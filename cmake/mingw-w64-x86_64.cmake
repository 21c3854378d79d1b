# Cross build for 64-bit Windows with MinGW-w64 (Debian package
# g++-mingw-w64-x86-64-posix), tests run under Wine:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# The posix flavour of the compiler provides std::thread, which GoogleTest
# uses. Everything is linked statically, so the .exe files need no DLLs
# beside them: plivex.exe runs on a bare Windows.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PLIVEX_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PLIVEX_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PLIVEX_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${PLIVEX_MINGW_TARGET}-windres)

# Libraries and headers come from the cross environment only; programs
# (Python for the end-to-end tests) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PLIVEX_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# CTest runs every test executable through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
