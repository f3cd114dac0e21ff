#!/usr/bin/env bash
# Installs the Debian packages that building and testing kvbgm2wav need,
# skipping the work when they are already there.
#   tools/install-deps.sh [--print] [GROUP ...]    (default: base)
# The groups:
#   build    the compiler and binutils (objcopy), CMake, make, pkg-config and
#            the codec libraries (libFLAC, libvorbis, libogg) and libebur128
#            (the loudness of --replaygain): all that
#            building the tool (make demo) needs
#   test     what the tests run: GoogleTest, python3, sox, sndfile-programs
#            (reads loop points back), flac (decodes and reads back FLAC
#            files), ffmpeg (ffprobe, a second reader of their tags),
#            vorbis-tools (oggdec, vorbiscomment, and oggenc for comparison),
#            groff-base (renders the man page), mount (mounts the small tmpfs
#            of the disk-full tests), bsdutils (script, a terminal for --list)
#   base     build and test: what make test needs
#   package  dpkg-dev (the .deb's dependencies and Debian's build flags),
#            lintian and devscripts' hardening-check (check the .deb), unzip
#            (lists the zip)
#   windows  MinGW-w64, Debian's GoogleTest sources, Wine and git (the Windows
#            tests read the version from the sources); also makes sure
#            that this machine runs 32-bit programs, which Wine's 32-bit
#            loader is (see i386_programs below)
#   bench, fuzz
# --print lists the packages of the groups, one a line, and installs nothing.
set -euo pipefail

declare -A groups=(
  [build]="cmake make g++ binutils pkg-config libflac-dev libvorbis-dev libogg-dev libebur128-dev"
  [test]="libgtest-dev python3 sox sndfile-programs flac ffmpeg vorbis-tools groff-base mount bsdutils"
  [bench]="libbenchmark-dev time hyperfine"
  [windows]="g++-mingw-w64-i686-posix binutils-mingw-w64-i686 googletest wine wine64 wine32:i386 cmake dpkg-dev git"
  [fuzz]="clang libclang-rt-14-dev"
  [package]="dpkg-dev lintian devscripts unzip"
)
groups[base]="${groups[build]} ${groups[test]}"

print=false
if [[ ${1:-} == --print ]]; then print=true; shift; fi
wanted="${*:-base}"
packages=()
for group in $wanted; do
  [[ -n "${groups[$group]:-}" ]] || { echo "unknown group: $group" >&2; exit 2; }
  for p in ${groups[$group]}; do
    [[ " ${packages[*]} " == *" $p "* ]] || packages+=("$p")
  done
done
if $print; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
apt=($sudo apt-get -q -o DPkg::Lock::Timeout=900)

changed=()  # what this run changed on the machine besides installing packages
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -gt 0 ]]; then
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
    changed+=("added the i386 architecture to dpkg")
  fi
  echo "installing: ${missing[*]}"
  "${apt[@]}" update
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi

# --- 32-bit programs ------------------------------------------------------
# Some kernels run no 32-bit x86 program at all ("Exec format error"), and
# then neither Wine's 32-bit loader nor the 32-bit exe can start. There the
# kernel is told, through binfmt_misc, to hand i386 ELF files to qemu's
# user-mode emulator. qemu before 8 cannot run Wine (it stops with "failed
# to map the shared user data"), so on a release whose qemu is older it
# comes from the release's backports, pinned low as backports always are:
# nothing else is taken from there. This is set up only where it is missing,
# and the one line at the end says what was changed on the machine.

binfmt=/proc/sys/fs/binfmt_misc
# qemu's own pattern for i386 ELF executables (ELF class 32, little-endian,
# type executable or shared object, machine 3).
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

# The first URI of an enabled Debian source for suite $1, from the one-line
# and the deb822 source lists; empty when there is none.
source_uri() {
  local lists=() sources=()
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do [[ -f $f ]] && lists+=("$f"); done
  for f in /etc/apt/sources.list.d/*.sources; do [[ -f $f ]] && sources+=("$f"); done
  {
    [[ ${#lists[@]} -eq 0 ]] || awk -v suite="$1" '
      $1 == "deb" { i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) print $i }' "${lists[@]}"
    [[ ${#sources[@]} -eq 0 ]] || awk -v suite="$1" 'BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = ""; off = 0
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^Types:/) types = " " substr($i, 7) " "
          else if ($i ~ /^URIs:/) uris = substr($i, 6)
          else if ($i ~ /^Suites:/) suites = " " substr($i, 8) " "
          else if ($i ~ /^Enabled:[ \t]*no/) off = 1 }
        gsub(/[ \t]+/, " ", types); gsub(/[ \t]+/, " ", suites)
        if (!off && types ~ / deb / && suites ~ " " suite " ") { split(uris, u, " "); print u[1] } }' \
      "${sources[@]}"
  } | head -n 1
}

# The major version of a Debian version string ("1:10.0.2+ds-1~bpo12+1" is 10).
major() { local v=${1#*:}; echo "${v%%[!0-9]*}"; }

# The major version of the qemu-i386 at path $1, or 0.
qemu_major() {
  local v
  v=$("$1" --version 2>/dev/null | head -n 1) || v=""
  [[ $v =~ version\ ([0-9]+) ]] && echo "${BASH_REMATCH[1]}" || echo 0
}

i386_programs() {
  local entry=$binfmt/qemu-i386 interp=""
  if [[ -f $entry ]]; then
    interp=$(sed -n 's/^interpreter //p' "$entry")
    if [[ $(qemu_major "$interp") -ge 8 ]]; then
      grep -qx enabled "$entry" && return 0
      echo 1 | $sudo tee "$entry" >/dev/null
      changed+=("enabled the binfmt registration of $interp")
      return 0
    fi
    # One made for an older qemu would start Wine and then fail.
    echo -1 | $sudo tee "$entry" >/dev/null
    changed+=("removed the binfmt registration of $interp, a qemu older than 8")
  fi
  /lib/ld-linux.so.2 --version >/dev/null 2>&1 && return 0  # the kernel runs them itself

  if [[ $(qemu_major /usr/bin/qemu-i386) -lt 8 ]]; then
    local release candidate target=()
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    candidate=$(apt-cache policy qemu-user | sed -n 's/^ *Candidate: //p')
    if [[ -z $(major "$candidate") ]]; then  # no package lists yet
      "${apt[@]}" update
      candidate=$(apt-cache policy qemu-user | sed -n 's/^ *Candidate: //p')
    fi
    if [[ $(major "$candidate") -lt 8 ]]; then
      [[ -n $release ]] || { echo "install-deps: no release name in /etc/os-release" >&2; exit 1; }
      if [[ -z $(source_uri "$release-backports") ]]; then
        local mirror
        mirror=$(source_uri "$release")
        [[ -n $mirror ]] || { echo "install-deps: no Debian source for $release to take the mirror of" >&2; exit 1; }
        local file=/etc/apt/sources.list.d/$release-backports.sources
        { echo "Types: deb"; echo "URIs: $mirror"; echo "Suites: $release-backports"
          echo "Components: main"
          [[ -f /usr/share/keyrings/debian-archive-keyring.gpg ]] &&
            echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        } | $sudo tee "$file" >/dev/null
        changed+=("added the source $release-backports ($mirror) in $file")
      fi
      "${apt[@]}" update
      target=(-t "$release-backports")
    fi
    echo "installing: qemu-user ${target[*]}"
    "${apt[@]}" install -y --no-install-recommends "${target[@]}" qemu-user
  fi
  [[ $(qemu_major /usr/bin/qemu-i386) -ge 8 ]] ||
    { echo "install-deps: qemu-i386 8 or newer is needed to run 32-bit programs" >&2; exit 1; }

  if [[ ! -f $binfmt/register ]]; then
    $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
    changed+=("mounted binfmt_misc")
  fi
  # F: the kernel opens qemu now, so it is found in any mount namespace or chroot.
  printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386:F\n' "$i386_magic" "$i386_mask" |
    $sudo tee "$binfmt/register" >/dev/null
  changed+=("registered /usr/bin/qemu-i386 for 32-bit programs in binfmt_misc")
  /lib/ld-linux.so.2 --version >/dev/null ||
    { echo "install-deps: 32-bit programs still do not run" >&2; exit 1; }
}

[[ " $wanted " != *" windows "* ]] || i386_programs
if [[ ${#changed[@]} -gt 0 ]]; then
  (IFS=";"; echo "install-deps: changed this machine:${changed[*]/#/ }")
fi
