#!/usr/bin/env bash
# Tests the 32-bit Windows build (build-win/) under Wine: its unit tests,
# then the end-to-end comparison with the Linux build
# (tests/windows_e2e_test.py), which also checks the exe's resources.
#
# Wine's 32-bit loader is a 32-bit Linux program. Where the kernel cannot
# run those, tools/install-deps.sh windows has the kernel hand them to
# qemu's user-mode emulator; then wineserver and Wine's services run
# natively and only the exe itself is emulated.
#   tools/test-windows.sh LINUX_BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${1:-build}
tools/install-deps.sh windows

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A prefix of this build's own, so that no other Wine user shares its server.
export WINEPREFIX="$PWD/build-win/wine"
# Wine passes arguments and file names to the exe in the locale's encoding.
[[ $(locale charmap 2>/dev/null) == UTF-8 ]] || export LC_ALL=C.UTF-8

wineserver -k 2>/dev/null || true  # one left by an interrupted run
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "test-windows: making the Wine prefix $WINEPREFIX"
  wineboot -i
  wineserver -w
fi
# One server for the whole run: each Wine process would otherwise start its
# own and stop it on exit, which costs seconds per run.
wineserver -p
trap 'wineserver -k' EXIT

if ! version=$(wine build-win/kvbgm2wav.exe --version); then
  echo "test-windows: build-win/kvbgm2wav.exe does not run under Wine" >&2
  exit 1
fi
echo "test-windows: $version, the 32-bit exe, under $(wine --version)"
ctest --test-dir build-win --output-on-failure
cd tests
KVBGM2WAV="$PWD/../$linux/kvbgm2wav" MAKE_STANDIN="$PWD/../$linux/make_standin" \
  KVBGM2WAV_EXE="$PWD/../build-win/kvbgm2wav.exe" WINE=wine \
  python3 -m unittest -v windows_e2e_test
