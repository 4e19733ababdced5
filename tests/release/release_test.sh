#!/usr/bin/env bash
# Checks the archives that scripts/release.sh made: their contents, that the
# programs are stripped and self-contained, and that each starts on its own:
# the Windows one under Wine from a folder holding nothing but tavrik.exe.
# Uses the caller's WINEPREFIX.
set -uo pipefail
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(tavrik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
win=tavrik-$version-windows-x86_64
linux=tavrik-$version-linux-x86_64
usage="usage: tavrik [xplane-host] [--port 49080] [--xplane | --msfs]"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

check() {  # check <description> <command...>
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then
    passed=$((passed + 1)); echo "ok: $what"
  else
    failed=$((failed + 1)); echo "FAILED: $what"; sed 's/^/  /' "$work/out" | head -20
  fi
}

same_list() {  # same_list <expected> <actual>: both newline-separated, order ignored
  diff <(sort <<<"$1") <(sort <<<"$2")
}

zip_lists_release_files() {
  same_list "$win/
$win/tavrik.exe
$win/README.txt
$win/LICENSE.txt
$win/live-map.html" "$(unzip -Z1 "out/$win.zip")"
}

tar_lists_release_files() {
  same_list "$linux/
$linux/tavrik
$linux/README.txt
$linux/LICENSE.txt
$linux/live-map.html" "$(tar -tzf "out/$linux.tar.gz")"
}

exe_is_stripped_and_static() {
  local exe=$work/zip/$win/tavrik.exe sections imports
  sections=$(x86_64-w64-mingw32-objdump -h "$exe") || return 1
  if grep -q '\.debug' <<<"$sections"; then echo "debug sections left:"; grep '\.debug' <<<"$sections"; return 1; fi
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p')
  echo "$imports"
  ! grep -qiE 'libstdc|libgcc|libwinpthread' <<<"$imports"
}

exe_runs_alone_under_wine() {
  mkdir -p "$work/alone" && cp "$work/zip/$win/tavrik.exe" "$work/alone/"
  [ "$(ls -A "$work/alone")" = tavrik.exe ] || return 1
  local out
  out=$(cd "$work/alone" && WINEDEBUG=-all timeout 120 /usr/lib/wine/wine64 ./tavrik.exe --help) || return 1
  echo "$out"
  [ "${out%$'\r'}" = "$usage" ]
}

linux_program_is_stripped_and_runs() {
  local program=$work/tar/$linux/tavrik out
  if readelf -S "$program" | grep -qE '\.symtab|\.debug'; then echo "not stripped"; return 1; fi
  out=$("$program" --help) || return 1
  echo "$out"
  [ "$out" = "$usage" ]
}

readmes_say_what_users_need() {
  local readme
  for readme in "$work/zip/$win/README.txt" "$work/tar/$linux/README.txt"; do
    for text in "http://localhost:49080/state" "bridge ready on" "waiting for" "receiving data from" "local network"; do
      grep -qF "$text" "$readme" || { echo "$readme lacks '$text'"; return 1; }
    done
  done
  grep -qF "SimConnect.dll" "$work/zip/$win/README.txt"
}

check "zip holds the program, README, example page and licence" zip_lists_release_files
check "tar.gz holds the program, README, example page and licence" tar_lists_release_files
mkdir -p "$work/zip" "$work/tar"
unzip -q "out/$win.zip" -d "$work/zip" && tar -xzf "out/$linux.tar.gz" -C "$work/tar"
check "tavrik.exe is stripped and imports system DLLs only" exe_is_stripped_and_static
check "tavrik.exe --help runs under Wine from a folder with nothing else" exe_runs_alone_under_wine
check "Linux tavrik is stripped and runs" linux_program_is_stripped_and_runs
check "the READMEs explain start-up, the console lines and the browser check" readmes_say_what_users_need
echo "release: $passed passed, $failed failed"
[ "$failed" = 0 ]
