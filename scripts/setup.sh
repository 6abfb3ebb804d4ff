#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need
# (listed in scripts/debian-packages.txt).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends $(grep -v '^#' scripts/debian-packages.txt)
