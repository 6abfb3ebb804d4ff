#!/usr/bin/env bash
# Builds every libFuzzer target with clang and runs each for a short,
# bounded time over its seed corpus.
#   scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-12}"
CC=clang CXX=clang++ bash scripts/build.sh build-fuzz -DKELDRA_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
shopt -s nullglob
for fuzzer in build-fuzz/fuzzers/*; do
  name="$(basename "$fuzzer")"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  seeds=()
  for d in */fuzz/corpus/"$name" */*/fuzz/corpus/"$name"; do seeds+=("$d"); done
  echo "== fuzzing $name for ${secs}s"
  "$fuzzer" -max_total_time="$secs" -max_len=65535 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$work" "${seeds[@]}"
done
