#!/usr/bin/env bash
# Runs the tray app Keldra against the local device service:
#   - the local device service on loopback with the demo policy and
#     blocklists of demo/, accepting one enrolment code that is printed;
#   - a copy of the whole built bundle, build/demo/Keldra.app, whose
#     Environment.json points at that service (the bundle the build made is
#     left as it is);
#   - Keldra itself, on fresh data (the service is new on every run and
#     knows no device enrolled before), on $DISPLAY or, without a display,
#     under Xvfb with trayer as the tray (drive it with xdotool on the
#     printed display; the panel's look in every state is in
#     build/screenshots/ after the tests).
# Click the shield in the tray (or, where there is no tray, the small window
# at the top right of the screen) to open the panel, type the printed code
# into "Enrollment code" and press Return. Ctrl-C quits the app (it flushes
# its events first) and then stops the service.
#
# KELDRA_SKIP_SETUP=1 skips installing the packages; KELDRA_BUILD_DIR runs
# from that build folder as it is (nothing is configured or built);
# KELDRA_DEMO_DIR puts the demo's files there instead of build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-service.sh

build=${KELDRA_BUILD_DIR:-build}
if [ -z "${KELDRA_BUILD_DIR:-}" ]; then
  if [ -z "${KELDRA_SKIP_SETUP:-}" ]; then bash scripts/setup.sh; fi
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target Keldra keldra-dev-service KeldraBundle
fi

demo=${KELDRA_DEMO_DIR:-$build/demo}
mkdir -p "$demo"
demo=$(cd "$demo" && pwd)
service_log="$demo/service.log"
code="APP-$(date +%s)"

# Stopped last to first, the service after the rest.
pids=()
service_pid=""
cleanup() {
  if [ -n "$service_pid" ]; then pids=("$service_pid" "${pids[@]}"); fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

# The service, Xvfb and trayer run in sessions of their own: Ctrl-C in this
# terminal reaches only this script and the app, so the app can still flush
# its events to the service before the rest is stopped.
start_demo_service "$code" "$demo/service-environment.json" "$service_log"

# The bundle copy: everything the build put into the bundle, so either mode
# finds its programs. The app pins two release keys; the service signs with
# one, so a spare key stands beside it.
bundle="$demo/Keldra.app"
rm -rf "$bundle"
cp -a "$build/Keldra.app" "$bundle"
sed -e 's#"release_keys": \[#"release_keys": [{"id": "spare-release", "public": "2rLJPFGUnvcOkX9ONhVcbXre5QUCKtHEAtjj6qHjuuc"},#' \
    -e "s#\"api_base_url\": \"\\([^\"]*\\)\"#\"api_base_url\": \"\\1\", \"dashboard_url\": \"\\1/dashboard\"#" \
    "$demo/service-environment.json" >"$bundle/Contents/Resources/Environment.json"

# Fresh data on every run: the device service is new and keeps no devices,
# so a token from an earlier run would only be refused.
export XDG_DATA_HOME="$demo/app-data"
rm -rf "$XDG_DATA_HOME"
mkdir -p "$XDG_DATA_HOME"
if [ -z "${DISPLAY:-}" ]; then
  rm -f "$demo/display"
  exec 3> "$demo/display"
  setsid Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >"$demo/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  for _ in $(seq 1 50); do [ -s "$demo/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n 1 "$demo/display")"
  setsid trayer --edge top --align right --widthtype request --height 24 --SetDockType true >"$demo/trayer.log" 2>&1 &
  pids+=($!)
  sleep 1
  echo "no display: Keldra runs on Xvfb $DISPLAY with trayer as its tray"
fi

echo "device service at $service_url (requests logged in $service_log)"
echo "enrolment code: $code"
QT_QPA_PLATFORM=xcb "$bundle/Contents/bin/Keldra" &
app=$!
pids+=($app)
# Ctrl-C reaches the app too; it ends once its events are flushed, and only
# then is the rest stopped.
trap 'echo "quitting: the app flushes its events first"' INT
while kill -0 "$app" 2>/dev/null; do
  wait "$app" || true
done
