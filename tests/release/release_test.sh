#!/usr/bin/env bash
# Checks the archives that scripts/release.sh made: their checksums and
# contents, that the programs are stripped and need nothing but the system
# (Windows DLLs; on Linux glibc, no newer than the README says), and that each
# starts on its own: the Windows ones under Wine from a folder holding nothing
# else. Uses the caller's WINEPREFIX.
set -uo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^#define TAVRIK_VERSION "\(.*\)"$/\1/p' build-release/generated/tavrik_version.h)
[ -n "$version" ] || { echo "release test: no version in build-release/; run scripts/release.sh first" >&2; exit 1; }
win=tavrik-$version-windows-x86_64
linux=tavrik-$version-linux-x86_64
usage="usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs] [--lan [--lan-key KEY]] [--efb [ADDRESS,...]]"
standin_usage="usage: xplane-standin [address] [--port 49000] [--pause-after S [--resume-after S]]"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. tests/release/checks.sh

same_list() {  # same_list <expected> <actual>: both newline-separated, order ignored
  diff <(sort <<<"$1") <(sort <<<"$2")
}

checksums_match() {
  (cd out && sha256sum -c SHA256SUMS) && [ "$(wc -l <out/SHA256SUMS)" = 2 ]
}

zip_lists_release_files() {
  same_list "$win/
$win/tavrik.exe
$win/xplane-standin.exe
$win/README.txt
$win/THIRD-PARTY-NOTICES.txt
$win/LICENSE.txt
$(map_entries "$win")" "$(unzip -Z1 "out/$win.zip")"
}

tar_lists_release_files() {
  same_list "$linux/
$linux/tavrik
$linux/xplane-standin
$linux/README.txt
$linux/THIRD-PARTY-NOTICES.txt
$linux/LICENSE.txt
$(map_entries "$linux")" "$(tar -tzf "out/$linux.tar.gz")"
}

map_entries() {  # map_entries <folder>: map/, the page with its modules and libraries, as archive entries (folders end in /)
  find map -type d -printf "$1/%p/\n" -o -type f -printf "$1/%p\n"
}

# The page, its modules and its libraries, unchanged: the browser tests pin map/<library>/ to the locked npm packages.
archives_carry_the_page_with_its_libraries() {
  diff -r map "$work/zip/$win/map" && diff -r map "$work/tar/$linux/map"
}

exes_are_stripped_and_static() {
  local exe sections
  for exe in tavrik.exe xplane-standin.exe; do
    sections=$(x86_64-w64-mingw32-objdump -h "$work/zip/$win/$exe") || return 1
    if grep -q '\.debug' <<<"$sections"; then echo "$exe: debug sections left"; return 1; fi
    cmake -DEXE="$work/zip/$win/$exe" -P tests/check_imports.cmake || return 1
  done
}

exes_run_alone_under_wine() {
  local exe expected out
  for exe in tavrik.exe xplane-standin.exe; do
    rm -rf "$work/alone" && mkdir -p "$work/alone" && cp "$work/zip/$win/$exe" "$work/alone/"
    expected=$usage; [ "$exe" = tavrik.exe ] || expected=$standin_usage
    out=$(cd "$work/alone" && WINEDEBUG=-all timeout 120 /usr/lib/wine/wine64 "./$exe" --help) || return 1
    echo "$out"
    [ "${out%$'\r'}" = "$expected" ] || return 1
  done
}

linux_programs_are_stripped_and_run() {
  local program out
  for program in tavrik xplane-standin; do
    if readelf -S "$work/tar/$linux/$program" | grep -qE '\.symtab|\.debug'; then echo "$program: not stripped"; return 1; fi
  done
  out=$("$work/tar/$linux/tavrik" --help) && echo "$out" && [ "$out" = "$usage" ] || return 1
  out=$("$work/tar/$linux/xplane-standin" --help) && echo "$out" && [ "$out" = "$standin_usage" ]
}

# Only glibc's own libraries, and glibc symbols no newer than the README promises.
linux_programs_need_only_the_glibc_the_readme_names() {
  local program needed newest promised
  promised=$(sed -n 's/.*needs glibc \([0-9.]*\) or newer.*/\1/p' "$work/tar/$linux/README.txt")
  [ -n "$promised" ] || { echo "README names no glibc version"; return 1; }
  for program in tavrik xplane-standin; do
    needed=$(readelf -d "$work/tar/$linux/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "$program needs:" $needed
    if grep -vxE 'libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2|libpthread\.so\.0|libdl\.so\.2|librt\.so\.1' <<<"$needed"; then
      echo "$program needs more than glibc"; return 1
    fi
    newest=$(objdump -T "$work/tar/$linux/$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
    echo "$program: newest glibc symbol version $newest, README says $promised"
    [ "$(printf '%s\n' "$newest" "$promised" | sort -V | tail -1)" = "$promised" ] || return 1
  done
}

notices_name_every_linked_component() {
  local notices=$work/zip/$win/THIRD-PARTY-NOTICES.txt text comment pair
  for text in libstdc++ libgcc "GCC RUNTIME LIBRARY EXCEPTION" "GNU GENERAL PUBLIC LICENSE" mingw-w64 \
              "License: ZPL-2.1" "Lucent Technologies" "Keith Marshall" winpthreads "Lockless Inc." "License: expat" \
              "Leaflet 1.9.4" "BSD 2-Clause License" "qrcode-generator 2.0.4" "Copyright (c) 2009 Kazuhiko Arase" "uPlot 1.6.32" "Leon Sorokin" \
              "The MIT License"; do
    grep -qF "$text" "$notices" || { echo "Windows notices lack '$text'"; return 1; }
  done
  notices=$work/tar/$linux/THIRD-PARTY-NOTICES.txt
  for text in libc++ libc++abi "LLVM Exceptions to the Apache 2.0 License" "Apache License" "Version 2.0, January 2004" \
              "Ulf Adams" "Boost Software License" libgcc "GCC RUNTIME LIBRARY EXCEPTION" "GNU GENERAL PUBLIC LICENSE" \
              glibc "unlimited permission" "Leaflet 1.9.4" "BSD 2-Clause License" \
              "qrcode-generator 2.0.4" "Copyright (c) 2009 Kazuhiko Arase" "uPlot 1.6.32" "Leon Sorokin" "The MIT License"; do
    grep -qF "$text" "$notices" || { echo "Linux notices lack '$text'"; return 1; }
  done
  # The compilers whose code is in the programs (their .comment) are the ones the notices speak of.
  comment=$(readelf -p .comment "$work/tar/$linux/tavrik" "$work/tar/$linux/xplane-standin")
  for pair in "clang version 14\.=clang 14" "GCC: (Debian 10\.=(GCC 10)"; do
    grep -q "${pair%%=*}" <<<"$comment" && grep -qF "${pair#*=}" "$notices" ||
      { echo "Linux programs built by: $comment"; echo "notices do not match '${pair%%=*}'"; return 1; }
  done
  if grep -F libstdc++ "$notices"; then echo "Linux notices name libstdc++, which is not linked"; return 1; fi
}

readmes_say_what_users_need() {
  local readme text
  for readme in "$work/zip/$win/README.txt" "$work/tar/$linux/README.txt"; do
    for text in "tavrik $version for" "Velmara tavrik $version" "http://localhost:49080/state" "bridge ready on" \
                "waiting for" "receiving data from" "local network" "xplane-standin" "SHA256SUMS" \
                "Troubleshooting" "map/index.html" "GPX"; do
      grep -qF "$text" "$readme" || { echo "$readme lacks '$text'"; return 1; }
    done
  done
  for text in "SimConnect.dll" "More info" "Run anyway" "Private networks" "Allow access" "Ctrl+C" \
              "Get-FileHash .\\$win.zip" "(os error 126)" "(os error 193)" "found but could not be loaded"; do
    grep -qF "$text" "$work/zip/$win/README.txt" || { echo "Windows README lacks '$text'"; return 1; }
  done
  grep -qF "sha256sum -c" "$work/tar/$linux/README.txt" || { echo "Linux README lacks 'sha256sum -c'"; return 1; }
}

# The map's address comes first, before the page as a file, with the page's switch.
readmes_name_the_map_address() {
  local readme map file
  for readme in "$work/zip/$win/README.txt" "$work/tar/$linux/README.txt"; do
    map=$(grep -n -m1 -F "http://localhost:49080/map" "$readme" | cut -d: -f1)
    file=$(grep -n -m1 -F "map/index.html" "$readme" | cut -d: -f1)
    [ -n "$map" ] || { echo "$readme does not name http://localhost:49080/map"; return 1; }
    [ -n "$file" ] && [ "$map" -lt "$file" ] ||
      { echo "$readme names map/index.html (line $file) before http://localhost:49080/map (line $map)"; return 1; }
    grep -qF '"📡 Live position"' "$readme" || { echo "$readme lacks the page's \"📡 Live position\" switch"; return 1; }
  done
}

check "SHA256SUMS lists both archives and matches them" checksums_match
check "zip holds both programs, README, notices, the map page with its libraries and licence" zip_lists_release_files
check "tar.gz holds both programs, README, notices, the map page with its libraries and licence" tar_lists_release_files
mkdir -p "$work/zip" "$work/tar"
unzip -q "out/$win.zip" -d "$work/zip" && tar -xzf "out/$linux.tar.gz" -C "$work/tar"
check "the .exe files are stripped and import system DLLs only" exes_are_stripped_and_static
check "each .exe runs --help under Wine from a folder with nothing else" exes_run_alone_under_wine
check "the Linux programs are stripped and run" linux_programs_are_stripped_and_run
check "the Linux programs need only glibc, no newer than the README says" linux_programs_need_only_the_glibc_the_readme_names
check "the map page, its modules and its libraries are in both archives, unchanged" archives_carry_the_page_with_its_libraries
check "the notices name every linked component with its licence" notices_name_every_linked_component
check "the READMEs explain start-up, the console lines, the stand-in, the first run and the checksums" readmes_say_what_users_need
check "each README names the map's address, http://localhost:49080/map, first" readmes_name_the_map_address
echo "release: $passed passed, $failed failed"
[ "$failed" = 0 ]
