#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time over its committed seed corpus. A crash, leak or failed
# property fails the run; the input that caused it is left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DTAVRIK_FUZZ=ON -DTAVRIK_TESTS=OFF \
  -DTAVRIK_SANITIZE=address,undefined -DTAVRIK_WERROR=ON >/dev/null
cmake --build build-fuzz
for target in build-fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  work=build-fuzz/corpus-$name
  mkdir -p "$work"
  echo "== fuzzing $name for ${seconds}s"
  status=0
  (cd build-fuzz && "../$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="crash-$name-" \
      "corpus-$name" "../fuzz/corpus/$name") >"build-fuzz/$name.log" 2>&1 || status=$?
  grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' "build-fuzz/$name.log" || true
  if [ "$status" != 0 ]; then tail -n 40 "build-fuzz/$name.log"; exit "$status"; fi
done
