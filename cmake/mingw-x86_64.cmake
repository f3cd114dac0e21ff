# Cross-build for 64-bit Windows with Debian's MinGW-w64 toolchain:
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
# The product is the 32-bit build; this one runs the same code under Wine on
# machines that cannot run 32-bit programs (tools/test-windows.sh).
set(KVBGM_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Debian's wine runs 32-bit programs; wine64 runs this build directly.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
