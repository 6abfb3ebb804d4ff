#!/usr/bin/env bash
# The content filter's cost per new flow, in one run (needs root): latency
# per new flow and the reader's CPU per flow for no filter, the floor (an
# allow-all queue reader behind the same chain and queue rule as the daemon)
# and keldra-filter; flows per second with 4 and 32 clients; and allowed-flow
# latency while another client opens blocked connections as fast as it can.
# Prints medians over the rounds and the ratios against the goals.
#
#   bash bench/content-filter.sh [--rounds N] [--flows N]
#
# Rounds default to 7 and flows per round to 1,500 (a few minutes on a busy
# machine); KELDRA_BUILD names the build folder (default: build). Build first:
# bash scripts/build.sh build
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELDRA_BUILD:-$root/build}
bench=$build/keldra-filter/bench_content_filter
rounds=7
flows=1500

usage() {
    echo "usage: bash bench/content-filter.sh [--rounds N] [--flows N]" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case $1 in
        --rounds) [ $# -ge 2 ] || usage; rounds=$2; shift 2 ;;
        --flows) [ $# -ge 2 ] || usage; flows=$2; shift 2 ;;
        *) usage ;;
    esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || usage
[[ $flows =~ ^[1-9][0-9]*$ ]] || usage

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/content-filter.sh needs root (network namespaces and NFQUEUE)" >&2
    exit 1
fi
if [ ! -x "$bench" ]; then
    echo "no $bench; build first: bash scripts/build.sh build" >&2
    exit 1
fi

# Everything runs in two network namespaces of our own, joined by a veth
# pair: the client side runs the readers and the clients, the server side
# the test server.
id=kb$$
client=${id}c
server=${id}s
client_address=10.77.0.1
server_address=10.77.0.2
# The blocked flood goes to several addresses, as it would to several
# sites; one alone would see its port pairs come round within seconds.
blocked_servers=(10.77.0.11 10.77.0.12 10.77.0.13 10.77.0.14 10.77.0.15 10.77.0.16 10.77.0.17 10.77.0.18)
scratch=$(mktemp -d /tmp/bench-content-filter.XXXXXX)
server_pid=

cleanup() {
    trap - EXIT INT TERM
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    # Whatever is still running inside our namespaces was started by this
    # script.
    local ns pid
    for ns in "$client" "$server"; do
        if ip netns pids "$ns" >/dev/null 2>&1; then
            for pid in $(ip netns pids "$ns"); do
                kill -KILL "$pid" 2>/dev/null || true
            done
            ip netns del "$ns" 2>/dev/null || true
        fi
    done
    rm -rf -- "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$client"
ip netns add "$server"
ip link add "${id}a" netns "$client" type veth peer name "${id}b" netns "$server"
ip -n "$client" addr add "$client_address/24" dev "${id}a"
ip -n "$server" addr add "$server_address/24" dev "${id}b"
for address in "${blocked_servers[@]}"; do
    ip -n "$server" addr add "$address/24" dev "${id}b"
done
for ns in "$client" "$server"; do
    ip -n "$ns" link set lo up
done
ip -n "$client" link set "${id}a" up
ip -n "$server" link set "${id}b" up

ip netns exec "$server" "$bench" serve &
server_pid=$!

blocked_arguments=()
for address in "${blocked_servers[@]}"; do
    blocked_arguments+=(--blocked-server "$address")
done

# The readers run in a private mount namespace, so that nothing they do
# reaches the machine's files beyond the scratch folder. Waiting in the
# background lets a signal to this script end the run at once.
ip netns exec "$client" unshare -m --propagation private \
    "$bench" measure --server "$server_address" "${blocked_arguments[@]}" \
    --scratch "$scratch" --rounds "$rounds" --flows "$flows" &
wait $!
