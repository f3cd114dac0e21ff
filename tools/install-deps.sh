#!/usr/bin/env bash
# Installs the Debian packages that building and testing kvbgm2wav need,
# skipping the work when they are already there.
#   tools/install-deps.sh [base] [bench] [windows] [windows64] [fuzz] [package]
# base is what building, testing and packaging on Linux need (groff renders
# the man page, dpkg-dev gives the .deb its dependencies, sndfile-programs
# reads loop points back); package adds lintian, which checks the .deb.
set -euo pipefail

declare -A groups=(
  [base]="cmake make g++ libgtest-dev python3 sox groff-base dpkg-dev sndfile-programs unzip"
  [bench]="libbenchmark-dev time hyperfine"
  [windows]="g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest wine wine32:i386"
  [windows64]="g++-mingw-w64-x86-64-posix wine64"
  [fuzz]="clang libclang-rt-14-dev"
  [package]="lintian"
)

wanted="${*:-base}"
packages=()
for group in $wanted; do
  [[ -n "${groups[$group]:-}" ]] || { echo "unknown group: $group" >&2; exit 2; }
  for p in ${groups[$group]}; do packages+=("$p"); done
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  $sudo dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
