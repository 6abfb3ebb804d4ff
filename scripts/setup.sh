#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-dev \
  libgtest-dev libgmock-dev \
  libssl-dev nlohmann-json3-dev libicu-dev libcurl4-openssl-dev \
  libasio-dev libcpp-httplib-dev \
  bind9-dnsutils dnsmasq-base dnsperf iproute2 procps ca-certificates
