#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time over its committed seed corpus. A crash, leak or failed
# property fails the run; the input that caused it is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAVRIK_FUZZ=ON -DTAVRIK_TESTS=OFF \
  -DTAVRIK_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work=build-fuzz/corpus-$name
  mkdir -p "$work"
  echo "== fuzzing $name for ${seconds}s"
  (cd build-fuzz && "../$target" -max_total_time="$seconds" -print_final_stats=1 \
      "corpus-$name" "../fuzz/corpus/$name" 2>&1 | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)' || true)
  test "${PIPESTATUS[0]:-0}" = 0
done
