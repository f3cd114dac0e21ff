#!/usr/bin/env bash
# Tests the Windows build under Wine: its unit tests, then the end-to-end
# comparison with the Linux build (tests/windows_e2e_test.py), which also
# checks the resources of the 32-bit kvbgm2wav.exe.
#
# The tool ships as a 32-bit exe (build-win/). Some machines cannot run
# 32-bit programs at all, and then neither can Wine's 32-bit loader; there
# the same code is built for 64-bit Windows (build-win64/) and run under
# wine64 instead, and the script says so.
#   tools/test-windows.sh LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${1:-build}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
build=build-win
wine=wine
if ! wine build-win/kvbgm2wav.exe --version >/dev/null 2>&1; then
  echo "test-windows: this machine cannot run 32-bit programs;" \
       "running the same code built for 64-bit Windows under wine64"
  tools/install-deps.sh windows64
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  cmake --build build-win64 -j "$(nproc)"
  build=build-win64
  wine=/usr/lib/wine/wine64
fi
ctest --test-dir "$build" --output-on-failure
cd tests
KVBGM2WAV="$PWD/../$linux/kvbgm2wav" MAKE_STANDIN="$PWD/../$linux/make_standin" \
  KVBGM2WAV_EXE="$PWD/../$build/kvbgm2wav.exe" KVBGM2WAV_EXE32="$PWD/../build-win/kvbgm2wav.exe" \
  WINE="$wine" python3 -m unittest -v windows_e2e_test
