#!/usr/bin/env bash
# Compares keldra-proxy with dnsmasq as DNS servers on this machine, both on
# the same upstream (dnsmasq on 127.0.0.2:53), each pinned to one core:
#   1. forwarding: keldra-proxy against dnsmasq as a forwarder, cache off;
#   2. blocked answers: keldra-proxy with 100,000 blocked names against
#      dnsmasq holding the same names as address=/name/ lines (NXDOMAIN).
# Prints queries per second (dnsperf at full load), median and 99th-percentile
# latency (dnsperf at a fixed rate), resident memory (all of it, and the
# anonymous part without mapped libraries), and the ratios.
#
#   bench/dns.sh [build-dir]        (as root; default build dir: build)
# Environment: SECONDS_PER_RUN (5, three runs each), LATENCY_QPS (5000), SERVER_CORE (2),
# UPSTREAM_CORE (3), CLIENT_CORES (4,5), NAMES (100000).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build}"
proxy_bin="$build/keldra-proxy/keldra-proxy"
service_bin="$build/keldra-dev-service/keldra-dev-service"
seconds="${SECONDS_PER_RUN:-5}"
latency_qps="${LATENCY_QPS:-5000}"
server_core="${SERVER_CORE:-2}"
upstream_core="${UPSTREAM_CORE:-3}"
client_cores="${CLIENT_CORES:-4,5}"
names="${NAMES:-100000}"

for tool in dnsperf dnsmasq dig taskset; do
  command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x "$proxy_bin" ] || { echo "build keldra-proxy first: $proxy_bin" >&2; exit 1; }
[ -x "$service_bin" ] || { echo "build keldra-dev-service first: $service_bin" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "run as root (the upstream listens on port 53)" >&2; exit 1; }

# The proxy's tests use 127.0.0.2:53 too: take turns with them.
exec 9>/tmp/keldra-proxy-dns-tests.lock
flock 9

work="$(mktemp -d /tmp/keldra-bench-XXXXXX)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start() {  # start <core> <command...>: runs in the background, records the pid
  local core="$1"; shift
  taskset -c "$core" "$@" >"$work/log.$$.$RANDOM" 2>&1 &
  pids+=("$!")
  last_pid="$!"
}
stop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
wait_for() {  # wait_for <port> <name> <expected text>
  for _ in $(seq 1 100); do
    if dig @127.0.0.1 -p "$1" +tries=1 +time=1 "$2" A 2>/dev/null | grep -q "$3"; then return 0; fi
    sleep 0.1
  done
  echo "server on port $1 did not answer $2 with $3" >&2
  exit 1
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
anon_kib() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }

# --- names, queries and configurations ------------------------------------
awk -v n="$names" 'BEGIN { for (i = 0; i < n; i++) printf "ad%d.tracker%d.block.test\n", i, i % 997 }' >"$work/names"
# Queries walk the names in a scattered order.
awk -v n="$names" 'BEGIN { for (i = 0; i < n; i++) printf "ad%d.tracker%d.block.test A\n", (i * 7919) % n, ((i * 7919) % n) % 997 }' >"$work/blocked.queries"
awk 'BEGIN { for (i = 0; i < 100000; i++) printf "host%d.fwd.test A\n", i }' >"$work/forward.queries"

cat >"$work/upstream.conf" <<CONF
port=53
listen-address=127.0.0.2
bind-interfaces
no-resolv
no-hosts
user=root
pid-file=$work/upstream.pid
address=/fwd.test/192.0.2.1
CONF
common="listen-address=127.0.0.1
bind-interfaces
no-resolv
no-hosts
user=root
cache-size=0"
printf '%s\nport=5361\nserver=127.0.0.2\npid-file=%s\n' "$common" "$work/fwd.pid" >"$work/dnsmasq-forward.conf"
{ printf '%s\nport=5362\npid-file=%s\n' "$common" "$work/block.pid"
  awk '{ printf "address=/%s/\n", $1 }' "$work/names"; } >"$work/dnsmasq-block.conf"

# The proxy runs only once enrolled: enrol both data directories against the
# local device service. It serves no policy, so the engine publishes nothing
# and the proxy keeps the rules file written below.
"$service_bin" --listen 127.0.0.1:0 --env-out "$work/env.json" --accept-code BENCH-1 --accept-code BENCH-2 \
  >"$work/service.log" 2>&1 &
pids+=("$!")
# Its first line, the base URL, comes once the environment file is written.
for _ in $(seq 1 100); do grep -q '^http' "$work/service.log" 2>/dev/null && break; sleep 0.1; done
grep -q '^http' "$work/service.log" || { echo "keldra-dev-service did not start" >&2; exit 1; }
"$proxy_bin" --env "$work/env.json" --dir "$work/proxy-forward" --enroll BENCH-1 --once \
  --listen 127.0.0.1:5360 --upstream 127.0.0.2 >"$work/enroll-forward.log"
"$proxy_bin" --env "$work/env.json" --dir "$work/proxy-block" --enroll BENCH-2 --once \
  --listen 127.0.0.1:5360 --upstream 127.0.0.2 >"$work/enroll-block.log"
{ printf '{"policySeq":1,"kind":"bench","committed":false,"blocklistVersion":1,"categories":["bench"],'
  printf '"missingCategories":[],"generatedAt":"2026-01-01T00:00:00Z","ruleSet":{"exact":{'
  awk 'NR > 1 { printf "," } { printf "\"%s\":{\"block\":{\"category\":\"bench\"}}", $1 }' "$work/names"
  printf '},"suffixes":{},"allowExact":[],"allowSuffixes":[]}}\n'; } >"$work/proxy-block/filter-rules.json"

# --- measuring --------------------------------------------------------------
# measure <label> <port> <queries> <pid>: sets qps, p50, p99 (ms), rss (KiB)
measure() {
  local label="$1" port="$2" queries="$3" pid="$4"
  # The best of three runs at full load: other work on the machine only
  # ever makes a run slower.
  qps=0 lost=0
  for _ in 1 2 3; do
    taskset -c "$client_cores" dnsperf -s 127.0.0.1 -p "$port" -d "$queries" -l "$seconds" \
      -c 16 -T 2 -q 200 -t 2 >"$work/$label.full" 2>&1
    local run_qps run_lost
    run_qps="$(awk '/Queries per second:/ {print $4}' "$work/$label.full")"
    run_lost="$(awk '/Queries lost:/ {print $3}' "$work/$label.full")"
    if awk -v a="$run_qps" -v b="$qps" 'BEGIN { exit !(a > b) }'; then qps="$run_qps" lost="$run_lost"; fi
  done
  taskset -c "$client_cores" dnsperf -s 127.0.0.1 -p "$port" -d "$queries" -l 5 -Q "$latency_qps" \
    -c 1 -T 1 -t 2 -v >"$work/$label.latency" 2>&1
  awk '$1 == ">" { print $NF * 1000 }' "$work/$label.latency" | sort -n >"$work/$label.sorted"
  local count
  count="$(wc -l <"$work/$label.sorted")"
  p50="$(awk -v n="$count" 'NR == int(n * 0.50) + 1 { printf "%.3f", $1 }' "$work/$label.sorted")"
  p99="$(awk -v n="$count" 'NR == int(n * 0.99) + 1 { printf "%.3f", $1 }' "$work/$label.sorted")"
  rss="$(rss_kib "$pid")"
  anon="$(anon_kib "$pid")"
  cpu="$(awk '{ print ($14 + $15) / 100 }' "/proc/$pid/stat")"; echo "  cpu seconds used by $label: $cpu" >&2
  printf '%-12s %-14s %10.0f %8s %9s %9s %10.1f %10.1f\n' "$path" "$label" "$qps" "$lost" "$p50" "$p99" \
    "$(echo "$rss" | awk '{print $1 / 1024}')" "$(echo "$anon" | awk '{print $1 / 1024}')"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'; }

start "$upstream_core" dnsmasq --keep-in-foreground --conf-file="$work/upstream.conf"
wait_for_upstream() {
  for _ in $(seq 1 100); do
    if dig @127.0.0.2 +tries=1 +time=1 probe.fwd.test A 2>/dev/null | grep -q 192.0.2.1; then return 0; fi
    sleep 0.1
  done
  echo "upstream dnsmasq did not start on 127.0.0.2:53" >&2; exit 1
}
wait_for_upstream

echo "keldra-proxy vs dnsmasq: servers on core $server_core, upstream on core $upstream_core," \
  "dnsperf on cores $client_cores, best of 3 x ${seconds}s at full load, latency at $latency_qps qps"
printf '%-12s %-14s %10s %8s %9s %9s %10s %10s\n' path server qps lost p50-ms p99-ms rss-MiB anon-MiB

path=forwarding
start "$server_core" "$proxy_bin" --env "$work/env.json" --dir "$work/proxy-forward" \
  --listen 127.0.0.1:5360 --upstream 127.0.0.2 --interval 3600
proxy_pid="$last_pid"
wait_for 5360 probe.fwd.test 192.0.2.1
measure keldra-proxy 5360 "$work/forward.queries" "$proxy_pid"
pq="$qps" p5="$p50" p9="$p99" pr="$rss" pa="$anon"
stop "$proxy_pid"
start "$server_core" dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq-forward.conf"
dm_pid="$last_pid"
wait_for 5361 probe.fwd.test 192.0.2.1
measure dnsmasq 5361 "$work/forward.queries" "$dm_pid"
stop "$dm_pid"
echo "forwarding ratios (keldra-proxy / dnsmasq): qps $(ratio "$pq" "$qps")," \
  "p50 $(ratio "$p5" "$p50"), p99 $(ratio "$p9" "$p99"), memory $(ratio "$pr" "$rss")" \
  "(anonymous $(ratio "$pa" "$anon"))"

path=blocked
start "$server_core" "$proxy_bin" --env "$work/env.json" --dir "$work/proxy-block" \
  --listen 127.0.0.1:5360 --upstream 127.0.0.2 --interval 3600
proxy_pid="$last_pid"
wait_for 5360 ad1.tracker1.block.test NXDOMAIN
measure keldra-proxy 5360 "$work/blocked.queries" "$proxy_pid"
pq="$qps" p5="$p50" p9="$p99" pr="$rss" pa="$anon"
stop "$proxy_pid"
start "$server_core" dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq-block.conf"
dm_pid="$last_pid"
wait_for 5362 ad1.tracker1.block.test NXDOMAIN
measure dnsmasq 5362 "$work/blocked.queries" "$dm_pid"
stop "$dm_pid"
echo "blocked ratios (keldra-proxy / dnsmasq): qps $(ratio "$pq" "$qps")," \
  "p50 $(ratio "$p5" "$p50"), p99 $(ratio "$p9" "$p99"), memory $(ratio "$pr" "$rss")" \
  "(anonymous $(ratio "$pa" "$anon"))"
echo "(qps: higher is better; latency and memory: lower is better)"
