#!/usr/bin/env bash
# Configures and builds one flavour of the tree.
#   scripts/build.sh <build-dir> [extra cmake options...]
# With KELDRA_WERROR=ON in the environment, warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="$1"; shift
werror=()
if [ "${KELDRA_WERROR:-}" = ON ]; then werror=(-DKELDRA_WERROR=ON); fi
cmake -S . -B "$dir" -G Ninja "${werror[@]}" "$@"
cmake --build "$dir" -j"$(nproc)"
