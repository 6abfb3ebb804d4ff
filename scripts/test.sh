#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and passes every test: a normal build,
# a build under AddressSanitizer and UndefinedBehaviorSanitizer, and short
# libFuzzer runs of every parser of outside input. Every build turns warnings
# into errors, and one plain Release build with GCC checks the build type a
# packager picks.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${KELDRA_SKIP_SETUP:-}" ]; then bash scripts/setup.sh; fi
# scripts/build.sh (also when scripts/fuzz.sh calls it) turns warnings into
# errors when this is set.
export KELDRA_WERROR=ON

bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build && ctest --output-on-failure -j"$(nproc)")

CC=gcc CXX=g++ bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release

bash scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DKELDRA_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$(nproc)")

bash scripts/fuzz.sh "${KELDRA_FUZZ_SECONDS:-12}"
echo "all tests passed"
