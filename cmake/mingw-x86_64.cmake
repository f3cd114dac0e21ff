# Cross-build for 64-bit Windows with Debian's MinGW-w64 toolchain:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# The product is the 32-bit build; this one runs the same code under Wine on
# machines that cannot run 32-bit programs (tools/test-windows.sh).
# The POSIX thread model, which GoogleTest needs; everything is linked
# statically, so the .exe needs no DLL beside it. Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's wine runs 32-bit programs; wine64 runs this build directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
