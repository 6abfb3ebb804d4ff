#!/usr/bin/env bash
# Compares keldra-proxy with dnsmasq as DNS servers on this machine, both on
# the same upstream (dnsmasq on 127.0.0.2:53), each pinned to one core.
#
# The proxy gets its rules the way a user's proxy does: the local device
# service serves a policy with one blocklist category of NAMES suffix rules,
# and the proxy's engine fetches, decodes, compiles and publishes it. dnsmasq
# holds the same names as address=/name/ lines (NXDOMAIN) and forwards the
# rest, like the proxy.
#
# Measured, each against dnsmasq in the same run:
#   1. forwarding alone (queries per second, latency);
#   2. blocked answers (queries per second, latency);
#   3. forwarding while a blocked flood runs at the same time;
#   4. resident memory once the rules are loaded, at NAMES and BIG_NAMES rules.
# Prints the figures and the ratios; the four goals are marked.
#
#   bench/dns.sh [build-dir]        (as root; default build dir: build)
# Environment: SECONDS_PER_RUN (5, three runs each), LATENCY_QPS (5000), SERVER_CORE (2),
# UPSTREAM_CORE (3), CLIENT_CORES (4,5), FLOOD_CORE (6), NAMES (100000), BIG_NAMES (1000000).
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
flood_core="${FLOOD_CORE:-6}"
names="${NAMES:-100000}"
big_names="${BIG_NAMES:-1000000}"

for tool in dnsperf dnsmasq dig taskset curl; do
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
wait_for() {  # wait_for <port> <name> <expected text> [tries of 0.1 s]
  for _ in $(seq 1 "${4:-100}"); do
    if dig @127.0.0.1 -p "$1" +tries=1 +time=1 "$2" A 2>/dev/null | grep -q "$3"; then return 0; fi
    sleep 0.1
  done
  echo "server on port $1 did not answer $2 with $3" >&2
  exit 1
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }
anon_kib() { awk '/^RssAnon:/ {print $2}' "/proc/$1/status"; }
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b + 0 == 0) print "n/a"; else printf "%.2f", a / b }'; }
goal() {  # goal <ratio> <op> <bound>: "met" or "missed"
  awk -v r="$1" -v op="$2" -v b="$3" 'BEGIN {
    if (r == "n/a") { print "n/a"; exit }
    ok = (op == ">=") ? (r + 0 >= b + 0) : (r + 0 <= b + 0); print ok ? "met" : "missed" }'
}

# --- names, queries and configurations ------------------------------------
make_names() {  # make_names <count> <file>
  awk -v n="$1" 'BEGIN { for (i = 0; i < n; i++) printf "ad%d.tracker%d.block.test\n", i, i % 997 }' >"$2"
}
make_names "$names" "$work/names"
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
dnsmasq_conf() {  # dnsmasq_conf <port> <names file or -> <conf file>
  { printf 'listen-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\nuser=root\ncache-size=0\n'
    printf 'port=%s\nserver=127.0.0.2\npid-file=%s.pid\n' "$1" "$3"
    [ "$2" = - ] || awk '{ printf "address=/%s/\n", $1 }' "$2"; } >"$3"
}
dnsmasq_conf 5361 - "$work/dnsmasq-forward.conf"
dnsmasq_conf 5362 "$work/names" "$work/dnsmasq-block.conf"

# A blocklist category "bench" of suffix rules, in the service's own form.
blocklist_json() {  # blocklist_json <names file> <json file>
  { printf '{"version": 1, "rules": ['
    awk 'NR > 1 { printf "," } { printf "{\"rule_type\":\"domain_suffix\",\"value\":\"%s\"}", $1 }' "$1"
    printf ']}\n'; } >"$2"
}
cat >"$work/policy.json" <<'JSON'
{"kind": "blocking_only", "categories": ["bench"], "custom_rules": [], "allow_rules": [],
 "blocklist_version": 1, "offline_release_runtime_seconds": 604800, "heartbeat_interval_seconds": 3600}
JSON

# start_proxy <label> <port> <names file> <probe name> <expected answer>:
# starts a device service with the names as category "bench", enrols a fresh
# data folder, gives the service the policy, then runs the proxy until its
# engine has fetched and published the list and it answers the probe. Sets
# service_pid and proxy_pid.
start_proxy() {
  local label="$1" port="$2"
  local env_file="$work/$label.env.json" log="$work/$label.service.log"
  blocklist_json "$3" "$work/$label.blocklist.json"
  "$service_bin" --listen 127.0.0.1:0 --env-out "$env_file" --accept-code "BENCH-$label" \
    --blocklist "bench=$work/$label.blocklist.json" >"$log" 2>&1 &
  service_pid="$!"
  pids+=("$service_pid")
  for _ in $(seq 1 600); do grep -q '^http' "$log" 2>/dev/null && break; sleep 0.1; done
  grep -q '^http' "$log" || { echo "keldra-dev-service did not start" >&2; exit 1; }
  rm -f "$work/$label.blocklist.json"
  # Enrolled before the service has a policy, so that only the measured
  # process fetches the list.
  "$proxy_bin" --env "$env_file" --dir "$work/$label.data" --enroll "BENCH-$label" --once \
    --listen "127.0.0.1:$port" --upstream 127.0.0.2 >"$work/$label.enroll.log" 2>&1 ||
    { cat "$work/$label.enroll.log" >&2; exit 1; }
  curl -sf -X POST --data-binary "@$work/policy.json" -H 'Content-Type: application/json' \
    "$(head -n 1 "$log")/_dev/policy" >/dev/null || { echo "the service did not take the policy" >&2; exit 1; }
  # A fetch that times out is tried again at the next tick.
  start "$server_core" "$proxy_bin" --env "$env_file" --dir "$work/$label.data" \
    --listen "127.0.0.1:$port" --upstream 127.0.0.2 --interval 20 --status "$work/$label.status.json"
  proxy_pid="$last_pid"
  for _ in $(seq 1 6000); do
    grep -q '"categories":\["bench"\],"missingCategories":\[\]' "$work/$label.data/filter-rules.json" \
      2>/dev/null && break
    sleep 0.1
  done
  wait_for "$port" "$4" "$5"
  # The tick ends with the status document; settle after it.
  for _ in $(seq 1 600); do [ -s "$work/$label.status.json" ] && break; sleep 0.1; done
  sleep 1
}

# --- measuring --------------------------------------------------------------
# full_load <label> <port> <queries>: best qps of three runs -> qps
full_load() {
  local label="$1" port="$2" queries="$3"
  qps=0
  for _ in 1 2 3; do
    taskset -c "$client_cores" dnsperf -s 127.0.0.1 -p "$port" -d "$queries" -l "$seconds" \
      -c 16 -T 2 -q 200 -t 2 >"$work/$label.full" 2>&1
    local run_qps
    run_qps="$(awk '/Queries per second:/ {print $4}' "$work/$label.full")"
    if awk -v a="$run_qps" -v b="$qps" 'BEGIN { exit !(a > b) }'; then qps="$run_qps"; fi
  done
}
# latency <label> <port> <queries>: median and 99th percentile in ms -> p50 p99
latency() {
  local label="$1" port="$2" queries="$3"
  taskset -c "$client_cores" dnsperf -s 127.0.0.1 -p "$port" -d "$queries" -l 5 -Q "$latency_qps" \
    -c 1 -T 1 -t 2 -v >"$work/$label.latency" 2>&1
  awk '$1 == ">" { print $NF * 1000 }' "$work/$label.latency" | sort -n >"$work/$label.sorted"
  local count
  count="$(wc -l <"$work/$label.sorted")"
  p50="$(awk -v n="$count" 'NR == int(n * 0.50) + 1 { printf "%.3f", $1 }' "$work/$label.sorted")"
  p99="$(awk -v n="$count" 'NR == int(n * 0.99) + 1 { printf "%.3f", $1 }' "$work/$label.sorted")"
}
# under_flood <label> <port>: forwarded qps while blocked queries flood the
# server from another core -> qps
under_flood() {
  local label="$1" port="$2"
  taskset -c "$flood_core" dnsperf -s 127.0.0.1 -p "$port" -d "$work/blocked.queries" \
    -l $((seconds * 3 + 6)) -c 16 -T 1 -q 200 -t 2 >"$work/$label.flood" 2>&1 &
  local flood="$!"
  sleep 1
  full_load "$label.underflood" "$port" "$work/forward.queries"
  wait "$flood" || true
}
row() { printf '%-26s %-13s %10s %9s %9s %9s\n' "$@"; }

start "$upstream_core" dnsmasq --keep-in-foreground --conf-file="$work/upstream.conf"
for _ in $(seq 1 100); do
  dig @127.0.0.2 +tries=1 +time=1 probe.fwd.test A 2>/dev/null | grep -q 192.0.2.1 && break
  sleep 0.1
done
dig @127.0.0.2 +tries=1 +time=1 probe.fwd.test A 2>/dev/null | grep -q 192.0.2.1 ||
  { echo "upstream dnsmasq did not start on 127.0.0.2:53" >&2; exit 1; }

echo "keldra-proxy vs dnsmasq: servers on core $server_core, upstream on core $upstream_core," \
  "dnsperf on cores $client_cores (flood on core $flood_core), best of 3 x ${seconds}s at full load," \
  "latency at $latency_qps qps; $names and $big_names suffix rules"
row measure server qps p50-ms p99-ms rss-MiB

# 1. Forwarding alone, no rules on either side.
start_proxy plain 5360 /dev/null probe.fwd.test 192.0.2.1
full_load proxy-fwd 5360 "$work/forward.queries"; latency proxy-fwd 5360 "$work/forward.queries"
row "forwarding" keldra-proxy "$qps" "$p50" "$p99" "$(mib "$(rss_kib "$proxy_pid")")"
fwd_proxy="$qps"
stop "$proxy_pid"; stop "$service_pid"
start "$server_core" dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq-forward.conf"
dm_pid="$last_pid"
wait_for 5361 probe.fwd.test 192.0.2.1
full_load dnsmasq-fwd 5361 "$work/forward.queries"; latency dnsmasq-fwd 5361 "$work/forward.queries"
row "forwarding" dnsmasq "$qps" "$p50" "$p99" "$(mib "$(rss_kib "$dm_pid")")"
fwd_dnsmasq="$qps"
stop "$dm_pid"

# 2-4 at NAMES rules: blocked answers, forwarding under a blocked flood, memory.
start_proxy small 5360 "$work/names" ad1.tracker1.block.test NXDOMAIN
rss_proxy="$(rss_kib "$proxy_pid")" anon_proxy="$(anon_kib "$proxy_pid")"
full_load proxy-block 5360 "$work/blocked.queries"; latency proxy-block 5360 "$work/blocked.queries"
row "blocked" keldra-proxy "$qps" "$p50" "$p99" "$(mib "$(rss_kib "$proxy_pid")")"
block_proxy="$qps"
under_flood proxy 5360
row "forwarding under flood" keldra-proxy "$qps" - - "$(mib "$(rss_kib "$proxy_pid")")"
flood_proxy="$qps"
stop "$proxy_pid"; stop "$service_pid"
start "$server_core" dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq-block.conf"
dm_pid="$last_pid"
wait_for 5362 ad1.tracker1.block.test NXDOMAIN 600
rss_dnsmasq="$(rss_kib "$dm_pid")" anon_dnsmasq="$(anon_kib "$dm_pid")"
full_load dnsmasq-block 5362 "$work/blocked.queries"; latency dnsmasq-block 5362 "$work/blocked.queries"
row "blocked" dnsmasq "$qps" "$p50" "$p99" "$(mib "$(rss_kib "$dm_pid")")"
block_dnsmasq="$qps"
under_flood dnsmasq 5362
row "forwarding under flood" dnsmasq "$qps" - - "$(mib "$(rss_kib "$dm_pid")")"
flood_dnsmasq="$qps"
stop "$dm_pid"

# Resident memory counts the mapped libraries' pages too; the anonymous part
# is the process's own.
row "memory at $names rules" keldra-proxy - - anon:"$(mib "$anon_proxy")" "$(mib "$rss_proxy")"
row "memory at $names rules" dnsmasq - - anon:"$(mib "$anon_dnsmasq")" "$(mib "$rss_dnsmasq")"
echo "ratios (keldra-proxy / dnsmasq; qps: higher is better, memory: lower is better):"
echo "  forwarding qps alone:              $(ratio "$fwd_proxy" "$fwd_dnsmasq")"
r="$(ratio "$block_proxy" "$block_dnsmasq")"
echo "  blocked qps:                       $r (goal >= 1.0: $(goal "$r" ">=" 1.0))"
r="$(ratio "$flood_proxy" "$flood_dnsmasq")"
echo "  forwarded qps under blocked flood: $r (goal >= 1.0: $(goal "$r" ">=" 1.0))"
r="$(ratio "$rss_proxy" "$rss_dnsmasq")"
echo "  rss at $names rules:            $r (goal <= 1.5: $(goal "$r" "<=" 1.5))"
echo "  anonymous memory at $names rules: $(ratio "$anon_proxy" "$anon_dnsmasq")"

# 4 at BIG_NAMES rules: memory once loaded. The service sends a list this
# large compressed when asked; on a busy machine that can take longer than
# the client's 60-second time-out, and the proxy tries again every tick.
make_names "$big_names" "$work/big.names"
start_proxy big 5360 "$work/big.names" ad1.tracker1.block.test NXDOMAIN
big_rss_proxy="$(rss_kib "$proxy_pid")" big_anon_proxy="$(anon_kib "$proxy_pid")"
stop "$proxy_pid"; stop "$service_pid"
dnsmasq_conf 5362 "$work/big.names" "$work/dnsmasq-big.conf"
start "$server_core" dnsmasq --keep-in-foreground --conf-file="$work/dnsmasq-big.conf"
dm_pid="$last_pid"
wait_for 5362 ad1.tracker1.block.test NXDOMAIN 3000
big_rss_dnsmasq="$(rss_kib "$dm_pid")" big_anon_dnsmasq="$(anon_kib "$dm_pid")"
stop "$dm_pid"
row "memory at $big_names rules" keldra-proxy - - anon:"$(mib "$big_anon_proxy")" "$(mib "$big_rss_proxy")"
row "memory at $big_names rules" dnsmasq - - anon:"$(mib "$big_anon_dnsmasq")" "$(mib "$big_rss_dnsmasq")"

r="$(ratio "$big_rss_proxy" "$big_rss_dnsmasq")"
echo "  rss at $big_names rules:           $r (goal <= 1.0: $(goal "$r" "<=" 1.0))"
echo "  anonymous memory at $big_names rules: $(ratio "$big_anon_proxy" "$big_anon_dnsmasq")"
