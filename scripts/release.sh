#!/usr/bin/env bash
# Builds the release programs and packs them for users:
#   out/tavrik-<version>-windows-x86_64.zip     (static, stripped tavrik.exe)
#   out/tavrik-<version>-linux-x86_64.tar.gz    (stripped tavrik)
# each with a user README, the example map page and the licence, in one folder.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
version=$(sed -n 's/^project(tavrik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }

build() {  # build <dir> [cmake args...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVRIK_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" --target tavrik -- -j2
}

stage() {  # stage <name> <program> <strip> <readme>: fills out/stage/<name>
  local dir=out/stage/$1
  rm -rf "$dir" && mkdir -p "$dir"
  "$3" -o "$dir/$(basename "$2")" "$2"
  cp examples/live-map.html "$dir/"
  cp "$4" "$dir/README.txt"
  cp LICENSE "$dir/LICENSE.txt"
}

build build-release
build build-release-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

mkdir -p out
win=tavrik-$version-windows-x86_64
linux=tavrik-$version-linux-x86_64

stage "$win" build-release-win/tavrik.exe x86_64-w64-mingw32-strip packaging/README-windows.txt
# Notepad and friends: CR LF line ends for the Windows text files.
for f in README.txt LICENSE.txt; do sed -i 's/\r\?$/\r/' "out/stage/$win/$f"; done
rm -f "out/$win.zip"
(cd out/stage && zip -q -X -r "$root/out/$win.zip" "$win")

stage "$linux" build-release/tavrik strip packaging/README-linux.txt
rm -f "out/$linux.tar.gz"
tar -C out/stage --owner=0 --group=0 --numeric-owner -czf "out/$linux.tar.gz" "$linux"

rm -rf out/stage
echo "release: out/$win.zip out/$linux.tar.gz"
