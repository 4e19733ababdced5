#!/usr/bin/env bash
# Builds and tests everything, stage by stage: the Linux build and its tests,
# the browser tests (headless Chromium and Firefox), the Windows build
# (mingw-w64) and its tests under Wine, the release archives with their
# checks and a second, reproducing build, the whole Linux suite under
# sanitizers, every fuzz target for a bounded time, and the benchmark in short
# windows (its own build folders; it fails when a figure cannot be produced,
# never because one misses its target). Every stage runs even when an earlier
# one failed (only the tests of a build that failed are left out), and the run
# ends with one line per stage and a non-zero exit status if any failed.
# QUICK=1 runs only the two builds and their tests. First it installs what
# the stages need when it is missing (scripts/packages.sh: apt-get, through
# sudo when not root).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh install "$([ -n "${QUICK:-}" ] && echo test || echo full)" || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
export WINEDEBUG=-all
# Warnings are errors here, as in CI.
strict=-DTAVRIK_WERROR=ON

summary=()
failures=0
declare -A outcome

stage() {  # stage <name> <needs: stage that must have passed, or -> <command...>
  local name=$1 needs=$2 start=$SECONDS result
  shift 2
  echo "=== $name"
  if [ "$needs" != - ] && [ "${outcome[$needs]:-}" != passed ]; then
    result="not run ($needs failed)"
  elif "$@"; then
    result=passed
  else
    result=FAILED
  fi
  outcome[$name]=$result
  [ "$result" = passed ] || failures=$((failures + 1))
  summary+=("$(printf '%-16s %-28s %5d s' "$name" "$result" $((SECONDS - start)))")
  echo "=== $name: $result"
}

linux_build() { cmake -S . -B build -G Ninja $strict && cmake --build build; }
linux_tests() { (cd build && ctest --output-on-failure -j "$jobs"); }
windows_build() {
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake $strict && cmake --build build-win
}
windows_tests() { (cd build-win && ctest --output-on-failure -j "$jobs"); }
# The archives users download: built from scratch, checked (under Wine too,
# and the Linux one in a Debian 11 root), then built again in another folder
# and compared byte for byte.
release() {
  bash scripts/release.sh && bash tests/release/release_test.sh && bash tests/release/old_glibc_test.sh &&
    bash tests/release/reproducible_test.sh
}

stage "linux build" - linux_build
stage "linux tests" "linux build" linux_tests
[ -n "${QUICK:-}" ] || stage "browser tests" "linux build" bash tests/browser/run.sh
stage "windows build" - windows_build
stage "windows tests" "windows build" windows_tests
if [ -z "${QUICK:-}" ]; then
  stage "release" - release
  stage "sanitizers" - bash scripts/sanitize.sh
  stage "fuzz" - bash scripts/fuzz.sh
  stage "benchmark" - bash bench/run.sh --short
fi
/usr/lib/wine/wineserver64 -k 2>/dev/null || true  # no Wine process outlives the run

echo
echo "=== summary (${SECONDS} s in all)"
printf '%s\n' "${summary[@]}"
if [ "$failures" = 0 ]; then echo "all ${#summary[@]} stages passed"; else echo "$failures of ${#summary[@]} stages did not pass"; fi
[ "$failures" = 0 ]
