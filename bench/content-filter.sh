#!/usr/bin/env bash
# The content filter's added latency per new flow and its flows per second,
# against the same network-namespace set-up without the filter, measured in
# the same run (needs root). Build first: bash scripts/build.sh build
#   bash bench/content-filter.sh [flows-per-client] [clients]
set -euo pipefail
cd "$(dirname "$0")/.."
exec build/keldra-filter/bench_content_filter "$@"
