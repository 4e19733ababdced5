#!/usr/bin/env bash
# Builds the Linux and the Windows (mingw-w64, run under Wine) builds and runs
# every test of both, the browser tests in headless Chromium, builds and checks
# the release archives, then runs the whole Linux suite under sanitizers and
# every fuzz target for a bounded time. Exit status non-zero if anything fails.
# QUICK=1 stops after the two builds' tests, for a fast round while developing.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -G Ninja
cmake --build build
status=0
(cd build && ctest --output-on-failure -j "$jobs")
[ -n "${QUICK:-}" ] || bash tests/browser/run.sh || status=1

cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
cmake --build build-win
(cd build-win && WINEDEBUG=-all ctest --output-on-failure -j "$jobs") || status=$?
# The archives users download: built from scratch, then checked (under Wine too).
[ -n "${QUICK:-}" ] || { bash scripts/release.sh && bash tests/release/release_test.sh; } || status=1
/usr/lib/wine/wineserver64 -k 2>/dev/null || true  # no Wine process outlives the run
if [ -z "${QUICK:-}" ]; then
  bash scripts/sanitize.sh || status=1
  bash scripts/fuzz.sh || status=1
fi
exit $status
