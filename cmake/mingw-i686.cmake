# Cross-build for 32-bit Windows with Debian's MinGW-w64 toolchain:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
# Everything is linked statically, so the .exe needs no DLL beside it. Tests
# run under Wine.
set(KVBGM_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
