#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -x build/brivet_core/bench_core ]; then
  exec build/brivet_core/bench_core
fi
echo "nothing to run yet"
