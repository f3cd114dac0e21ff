#!/usr/bin/env bash
# Builds a static libFLAC for Windows (MinGW-w64) from Debian's source package
# of the same version as the machine's libflac-dev, so that the Windows exe
# encodes with the same library as the Linux build. The source comes through
# apt with a private configuration under build-deps/apt (deb-src entries for
# the machine's own mirrors, signatures checked with Debian's keyring); the
# machine's apt sources are left as they are.
#   tools/build-flac-win.sh [i686|x86_64]
# Installs into build-deps/flac-ARCH/ (include/, lib/libFLAC.a and the
# library's licence COPYING.Xiph) and does nothing when that prefix already
# holds the wanted version.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:-i686}
case $arch in
  i686) cflags="-msse2 -mfpmath=sse" ;;
  x86_64) cflags="" ;;
  *) echo "build-flac-win: unknown architecture: $arch" >&2; exit 2 ;;
esac
deps=$root/build-deps
prefix=$deps/flac-$arch

# The version to build: that of the installed libflac-dev, or else the one
# apt would install.
version=$(dpkg-query -W -f='${source:Version}' libflac-dev 2>/dev/null || true)
if [[ -z $version ]]; then
  version=$(apt-cache policy libflac-dev | awk '/Candidate:/ { print $2 }')
fi
[[ -n $version && $version != "(none)" ]] || {
  echo "build-flac-win: no version of libflac-dev is known to apt" >&2; exit 1; }
if [[ -f $prefix/lib/libFLAC.a && "$(cat "$prefix/VERSION" 2>/dev/null)" == "$version" ]]; then
  exit 0
fi
echo "build-flac-win: building libFLAC $version for $arch-w64-mingw32"

# A private apt: its own source list, package lists and caches.
apt=$deps/apt
mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d"
# One deb-src line for each deb entry of the machine's sources, deb822
# (sources.list.d/*.sources) or one-line (sources.list, sources.list.d/*.list).
{
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f ]] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no") {
          n = split(uris, u, " "); m = split(suites, s, " ")
          opts = signed != "" ? " [signed-by=" signed "]" : ""
          for (i = 1; i <= n; i++) for (j = 1; j <= m; j++)
            print "deb-src" opts " " u[i] " " s[j] " " comps
        }
        types = uris = suites = comps = signed = enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      { key = tolower($1); sub(/^[^:]*:[ \t]*/, ""); }
      key == "types:" { types = $0 } key == "uris:" { uris = $0 }
      key == "suites:" { suites = $0 } key == "components:" { comps = $0 }
      key == "signed-by:" { signed = $0 } key == "enabled:" { enabled = tolower($0) }
      END { flush() }' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] || continue
    sed -n 's/^[ \t]*deb[ \t]/deb-src /p' "$f"
  done
} | sort -u >"$apt/sources.list"
[[ -s $apt/sources.list ]] || {
  echo "build-flac-win: no Debian mirror found in /etc/apt/sources.list*" >&2; exit 1; }
aptopts=(
  -o Dir::Etc::sourcelist="$apt/sources.list"
  -o Dir::Etc::sourceparts="$apt/sources.list.d"
  -o Dir::State::Lists="$apt/lists"
  -o Dir::Cache="$apt/cache"
  -o APT::Get::List-Cleanup=false
)
apt-get "${aptopts[@]}" -q update
src=$deps/flac-src
rm -rf "$src"
mkdir -p "$src"
# apt downloads as its unprivileged user where it may write.
if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$src"; fi
(cd "$src" && apt-get "${aptopts[@]}" -q --download-only source "flac=$version")
dsc=$(ls "$src"/flac_*.dsc)
# apt has checked the files against the signed Sources index; dpkg-source
# warns that it cannot check the uploader's signature without debian-keyring.
dpkg-source -x "$dsc" "$src/flac"

# libFLAC alone, static, without Ogg, with SSE2 like the exe, without the
# stack protector (MinGW has no __stack_chk_fail without libssp).
rm -rf "$prefix"
cmake -S "$src/flac" -B "$src/build" \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR="$arch" \
  -DCMAKE_C_COMPILER="$arch-w64-mingw32-gcc-posix" \
  -DCMAKE_CXX_COMPILER="$arch-w64-mingw32-g++-posix" \
  -DCMAKE_RC_COMPILER="$arch-w64-mingw32-windres" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$cflags" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
  -DBUILD_SHARED_LIBS=OFF -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF \
  -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF \
  -DWITH_OGG=OFF -DWITH_STACK_PROTECTOR=OFF
cmake --build "$src/build" -j 2
cmake --install "$src/build"
rm -rf "$prefix/include/FLAC++"
cp "$src/flac/COPYING.Xiph" "$prefix/"
echo "$version" >"$prefix/VERSION"
rm -rf "$src"
