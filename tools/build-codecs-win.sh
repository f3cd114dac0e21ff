#!/usr/bin/env bash
# Builds the codec libraries the Windows exe links statically, libFLAC,
# libogg and libvorbis (with libvorbisenc, and libvorbisfile for the unit
# tests), and the loudness meter libebur128, for MinGW-w64 from Debian's source packages of the same versions
# as the machine's -dev packages, so that the Windows exe encodes with the
# same libraries as the Linux build. The sources come through apt with a
# private configuration under build-deps/apt (deb-src entries for the
# machine's own mirrors, signatures checked with Debian's keyring); the
# machine's apt sources are left as they are.
#   tools/build-codecs-win.sh [i686|x86_64]
# Installs into build-deps/codecs-ARCH/: include/, lib/*.a, each library's
# licence as COPYING.NAME.txt and its version as VERSION.NAME. A library
# whose prefix already holds the wanted version is not built again
# (libvorbis is whenever libogg is, since it is built against it).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:-i686}
# SSE2 like the exe, never x87 extended precision; and never fast-math: the
# libraries' float code must round as written, on every build.
case $arch in
  i686) archflags="-msse2 -mfpmath=sse" ;;
  x86_64) archflags="" ;;
  *) echo "build-codecs-win: unknown architecture: $arch" >&2; exit 2 ;;
esac
host=$arch-w64-mingw32
deps=$root/build-deps
prefix=$deps/codecs-$arch

# Each library: its Debian source package and the -dev package whose version
# it must have. In build order: libvorbis needs libogg.
libraries=(flac libogg libvorbis libebur128)
declare -A devPackage=([flac]=libflac-dev [libogg]=libogg-dev [libvorbis]=libvorbis-dev
                       [libebur128]=libebur128-dev)

# The version to build: that of the installed -dev package (its source
# version), or else the one apt would install.
wantedVersion() {
  local version
  version=$(dpkg-query -W -f='${source:Version}' "$1" 2>/dev/null || true)
  [[ -n $version ]] || version=$(apt-cache policy "$1" | awk '/Candidate:/ { print $2 }')
  [[ -n $version && $version != "(none)" ]] || {
    echo "build-codecs-win: no version of $1 is known to apt" >&2; exit 1; }
  echo "$version"
}

declare -A version
todo=()
for lib in "${libraries[@]}"; do
  version[$lib]=$(wantedVersion "${devPackage[$lib]}")
  if [[ "$(cat "$prefix/VERSION.$lib" 2>/dev/null)" != "${version[$lib]}" ]] ||
     [[ $lib == libvorbis && " ${todo[*]} " == *" libogg "* ]]; then
    todo+=("$lib")
  fi
done
[[ ${#todo[@]} -gt 0 ]] || exit 0

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
  echo "build-codecs-win: no Debian mirror found in /etc/apt/sources.list*" >&2; exit 1; }
aptopts=(
  -o Dir::Etc::sourcelist="$apt/sources.list"
  -o Dir::Etc::sourceparts="$apt/sources.list.d"
  -o Dir::State::Lists="$apt/lists"
  -o Dir::Cache="$apt/cache"
  -o APT::Get::List-Cleanup=false
)
apt-get "${aptopts[@]}" -q update

# Fetches and unpacks source package $1 at version[$1] into $src/$1.
fetch() {
  rm -rf "$src"
  mkdir -p "$src"
  # apt downloads as its unprivileged user where it may write.
  if [[ $(id -u) -eq 0 ]] && id _apt >/dev/null 2>&1; then chown _apt "$src"; fi
  # apt checks the files against the signed Sources index; dpkg-source
  # warns that it cannot check the uploader's signature without
  # debian-keyring.
  if (cd "$src" && apt-get "${aptopts[@]}" -q --download-only source "$1=${version[$1]}"); then
    dpkg-source -x "$(ls "$src/$1"_*.dsc)" "$src/$1"
    return
  fi
  # A mirror that lacks the Debian part of the package (seen for
  # libebur128's debian.tar.xz) still has the upstream tarball: built
  # without Debian's changes, and said so.
  echo "build-codecs-win: Debian's changes to $1 cannot be fetched;" \
       "building the upstream tarball of its source package alone" >&2
  (cd "$src" && apt-get "${aptopts[@]}" -q --download-only --tar-only source "$1=${version[$1]}")
  mkdir -p "$src/$1"
  tar -xf "$(ls "$src/$1"_*.orig.tar.*)" -C "$src/$1" --strip-components=1
}

# Fails when a generated Makefile would compile with fast-math or
# -Ofast, whatever configure chose for this host.
checkFlags() {
  if grep -Eq -- '-ffast-math|-Ofast|-funsafe-math-optimizations' "$@"; then
    echo "build-codecs-win: fast-math flags in $*" >&2; exit 1
  fi
}

# libFLAC alone, static, without Ogg, without the stack protector (MinGW has
# no __stack_chk_fail without libssp).
build_flac() {
  cmake -S "$src/flac" -B "$src/build" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_C_COMPILER="$host-gcc-posix" -DCMAKE_CXX_COMPILER="$host-g++-posix" \
    -DCMAKE_RC_COMPILER="$host-windres" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$archflags" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_CXXLIBS=OFF -DBUILD_PROGRAMS=OFF \
    -DBUILD_EXAMPLES=OFF -DBUILD_TESTING=OFF -DBUILD_DOCS=OFF -DINSTALL_MANPAGES=OFF \
    -DWITH_OGG=OFF -DWITH_STACK_PROTECTOR=OFF
  checkFlags "$src/build/CMakeCache.txt"
  cmake --build "$src/build" -j 2
  cmake --install "$src/build"
  rm -rf "$prefix/include/FLAC++"
  cp "$src/flac/COPYING.Xiph" "$prefix/COPYING.libFLAC.txt"
}

# The autotools build Debian uses, static only. configure puts its own
# flags for the host first and CFLAGS after them, so these win: -O2 as in
# Debian's own builds, and no fast-math whatever configure chose for the
# host (checkFlags then makes sure that the Makefiles ask for none).
configureStatic() {
  local cflags="-O2 $archflags -fno-fast-math"
  mkdir -p "$src/build"
  # pkg-config sees the prefix's libraries only, never the machine's own.
  (cd "$src/build" && PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH="" \
     "$src/$1/configure" --host="$host" --prefix="$prefix" --libdir="$prefix/lib" \
     --enable-static --disable-shared CC="$host-gcc-posix" CFLAGS="$cflags" "${@:2}")
  checkFlags $(find "$src/build" -name Makefile)
  make -C "$src/build" -j 2 V=1  # V=1: the log shows each compile's flags
  make -C "$src/build" install
}

build_libogg() {
  configureStatic libogg
  cp "$src/libogg/COPYING" "$prefix/COPYING.libogg.txt"
}

build_libvorbis() {
  configureStatic libvorbis --with-ogg="$prefix" --disable-docs --disable-examples --disable-oggtest
  cp "$src/libvorbis/COPYING" "$prefix/COPYING.libvorbis.txt"
}

# libebur128 alone, static, with its own copy of the BSD queue.h that MinGW
# lacks.
build_libebur128() {
  cmake -S "$src/libebur128" -B "$src/build" \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR="$arch" \
    -DCMAKE_C_COMPILER="$host-gcc-posix" -DCMAKE_RC_COMPILER="$host-windres" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="$archflags" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON -DENABLE_INTERNAL_QUEUE_H=ON \
    -DENABLE_TESTS=OFF -DENABLE_FUZZER=OFF
  checkFlags "$src/build/CMakeCache.txt"
  cmake --build "$src/build" -j 2
  cmake --install "$src/build"
  cp "$src/libebur128/COPYING" "$prefix/COPYING.libebur128.txt"
}

mkdir -p "$prefix"
src=$deps/codecs-src
for lib in "${todo[@]}"; do
  echo "build-codecs-win: building $lib ${version[$lib]} for $host"
  rm -f "$prefix/VERSION.$lib"
  fetch "$lib"
  "build_$lib"
  echo "${version[$lib]}" >"$prefix/VERSION.$lib"
done
rm -rf "$src" "$prefix/share" "$prefix"/lib/*.la
