# Sourced by the run scripts: starts the local device service on loopback
# with the demo policy and blocklists of demo/.
#
#   start_demo_service CODE ENV_OUT LOG
#
# accepts the enrolment code CODE, writes its environment file to ENV_OUT
# (its signing keys in keys/ beside that file) and logs to LOG. Returns once the service has printed its base URL, with
# the URL in $service_url and the service's process in $service_pid; ends
# the script with the log shown when the service does not come up. The
# caller stops the service. The service runs from $build (default build) in
# a session of its own, so a Ctrl-C in the terminal does not reach it.
start_demo_service() {
  local code=$1 env_out=$2 log=$3
  rm -f "$log"
  setsid "${build:-build}/keldra-dev-service/keldra-dev-service" \
    --listen 127.0.0.1:0 \
    --env-out "$env_out" \
    --keys-dir "$(dirname "$env_out")/keys" \
    --accept-code "$code" \
    --policy demo/policy.json \
    --blocklist ads=demo/blocklist-ads.json \
    --blocklist gambling=demo/blocklist-gambling.json \
    >"$log" 2>&1 &
  service_pid=$!

  # The service prints its base URL once the environment file is written.
  for _ in $(seq 1 100); do
    if grep -q '^http' "$log" 2>/dev/null; then break; fi
    if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  service_url=$(head -n 1 "$log" 2>/dev/null || true)
  case "$service_url" in
    http*) ;;
    *)
      echo "keldra-dev-service did not start:" >&2
      cat "$log" >&2
      exit 1
      ;;
  esac
}
