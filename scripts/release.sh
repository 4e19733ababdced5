#!/usr/bin/env bash
# Builds the release programs and packs them for users:
#   out/tavrik-<version>-windows-x86_64.zip    tavrik.exe and xplane-standin.exe (static, stripped)
#   out/tavrik-<version>-linux-x86_64.tar.gz   tavrik and xplane-standin (stripped; need only glibc 2.31+)
#   out/SHA256SUMS                             the archives' checksums, for `sha256sum -c`
# each with a user README, the third-party notices, the example map page (with
# the copies of Leaflet and qrcode-generator beside it) and the licence, in one
# folder. The version comes from CMake (project() in CMakeLists.txt).
#
# The same commit gives byte-identical archives wherever and whenever it is
# built: every time stamp is the commit's (SOURCE_DATE_EPOCH, which the caller
# may set instead, e.g. for a tree without .git), entries are sorted with fixed
# owner and modes, the build folder is mapped out of the programs, and the .exe
# carries no link time.
#
# The Linux programs are built with clang and libc++ against a Debian 11 root,
# so that they run on glibc 2.31 and newer: scripts/debian11-root.sh makes it
# on the first run (debootstrap, through sudo when not root) and keeps it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C  # zip stores local time; sorting by bytes
umask 022
prefix_map="-ffile-prefix-map=$root/="
# The libraries the map page loads, each a folder of map/ carried beside it,
# with its notice in packaging/notices/<folder>.txt.
PAGE_LIBRARIES="leaflet qrcode-generator uplot"

build() {  # build <dir> [cmake args...]
  local dir=$1; shift
  # A folder configured otherwise (another compiler, another root) starts afresh.
  [ "$(cat "$dir/release-args" 2>/dev/null)" = "$*" ] || rm -rf "$dir"
  # Flags from the environment add to those a toolchain file sets.
  CFLAGS=$prefix_map CXXFLAGS=$prefix_map LDFLAGS= \
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIK_TESTS=OFF "$@" >/dev/null
  echo "$*" >"$dir/release-args"
  cmake --build "$dir" --target tavrik xplane-standin -- -j2
}

stage() {  # stage <folder> <system> <strip> <programs...>: fills out/stage/<folder>
  local dir=out/stage/$1 system=$2 strip=$3 program
  shift 3
  rm -rf "$dir" && mkdir -p "$dir"
  for program; do
    "$strip" -o "$dir/$(basename "$program")" "$program"
    chmod 755 "$dir/$(basename "$program")"
  done
  # The page, its modules and its libraries: the map/ folder as it is.
  cp -R map "$dir/map"
  find "$dir/map" -type d -exec chmod 755 {} + -o -type f -exec chmod 644 {} +
  cp "build-release/packaging/README-$system.txt" "$dir/README.txt"
  notices "$system" >"$dir/THIRD-PARTY-NOTICES.txt"
  cp LICENSE "$dir/LICENSE.txt"
  chmod 644 "$dir"/*.txt
  chmod 755 "$dir"
}

notices() {  # notices <system>: what each program links, with the licence texts
  local system=$1 part
  case $system in
    windows) set -- windows libstdc++ gcc-runtime mingw-w64 ;;
    linux) set -- linux libc++ gcc-runtime glibc-startup ;;
  esac
  for part; do cat "packaging/notices/$part.txt" && echo; done
  for library in $PAGE_LIBRARIES; do cat "packaging/notices/$library.txt" "map/$library/LICENSE" && echo; done
  printf 'GNU General Public License, version 3\n------------------------------------\n\n'
  cat /usr/share/common-licenses/GPL-3
  [ "$system" = linux ] || return 0
  printf '\nApache License, version 2.0\n---------------------------\n\n'
  cat /usr/share/common-licenses/Apache-2.0
}

settle() {  # settle <folder>: every entry of out/stage/<folder> gets the commit's time
  find "out/stage/$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

sysroot=$(bash scripts/debian11-root.sh)
build build-release -DCMAKE_TOOLCHAIN_FILE=cmake/linux-glibc231.cmake -DCMAKE_SYSROOT="$sysroot"
build build-release-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_EXE_LINKER_FLAGS=-Wl,--no-insert-timestamp
version=$(sed -n 's/^#define TAVRIK_VERSION "\(.*\)"$/\1/p' build-release/generated/tavrik_version.h)
[ -n "$version" ] || { echo "release: no version in build-release/generated/tavrik_version.h" >&2; exit 1; }

mkdir -p out
win=tavrik-$version-windows-x86_64
linux=tavrik-$version-linux-x86_64
rm -f "out/$win.zip" "out/$linux.tar.gz" out/SHA256SUMS

stage "$win" windows x86_64-w64-mingw32-strip build-release-win/tavrik.exe build-release-win/xplane-standin.exe
# Notepad and friends: CR LF line ends for the Windows text files.
sed -i 's/\r\?$/\r/' out/stage/"$win"/*.txt
settle "$win"
# No extra fields (-X): the DOS time stamp alone, in UTC.
(cd out/stage && find "$win" | sort | zip -q -X -@ "$root/out/$win.zip")

stage "$linux" linux strip build-release/tavrik build-release/xplane-standin
settle "$linux"
tar -C out/stage --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
  -cf - "$linux" | gzip -9 -n >"out/$linux.tar.gz"

rm -rf out/stage
(cd out && sha256sum "$win.zip" "$linux.tar.gz" >SHA256SUMS)
echo "release: out/$win.zip out/$linux.tar.gz out/SHA256SUMS"
cat out/SHA256SUMS
