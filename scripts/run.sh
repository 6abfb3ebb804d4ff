#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job:
#   - the local device service on loopback, serving the demo policy and
#     blocklists of demo/ and accepting one enrolment code;
#   - keldra-proxy enrolled against it, answering DNS on 127.0.0.1:5354 in
#     the foreground and forwarding what it does not block to the system's
#     name servers.
# Ask it from another terminal, for example:
#   dig @127.0.0.1 -p 5354 tracker.example.com   (blocked: NXDOMAIN)
#   dig @127.0.0.1 -p 5354 debian.org            (forwarded)
# Ctrl-C stops both. State stays in build/demo/ between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-service.sh

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target keldra-proxy keldra-dev-service

demo=build/demo
mkdir -p "$demo"
service_log="$demo/service.log"
# A new code for every run: the service keeps its devices in memory only, so
# the proxy enrols anew each time (its keys stay in $demo/keys).
code="DEMO-$(date +%s)"

service_pid=""
stop_service() {
  if [ -n "$service_pid" ]; then
    kill "$service_pid" 2>/dev/null || true
    wait "$service_pid" 2>/dev/null || true
  fi
}
trap stop_service EXIT

start_demo_service "$code" "$demo/Environment.json" "$service_log"
echo "device service at $service_url (requests logged in $service_log)"

# Enrols, then runs in the foreground until Ctrl-C.
build/keldra-proxy/keldra-proxy \
  --env "$demo/Environment.json" \
  --dir "$demo/proxy-data" \
  --enroll "$code" --name "demo" \
  --listen 127.0.0.1:5354
