#!/usr/bin/env bash
# Builds the Linux program and its whole test suite under AddressSanitizer with
# UndefinedBehaviorSanitizer, then under ThreadSanitizer, and runs every test.
# Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
for kind in asan tsan; do
  case $kind in
    asan) flags="address,undefined" ;;
    tsan) flags="thread" ;;
  esac
  cmake -S . -B "build-$kind" -G Ninja -DTAVRIK_SANITIZE=$flags -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_WERROR=ON >/dev/null
  cmake --build "build-$kind"
  (cd "build-$kind" && ctest --output-on-failure -j "$jobs")
done
