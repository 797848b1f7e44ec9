#!/usr/bin/env bash
# run_network.sh [SECONDS [ROUNDS]] - request throughput of cmsd on
# loopback, side by side with two references measured in the same run: a
# minimal epoll server answering 1024-byte frames (the loopback limit) and
# redis-server with a new connection per request (redis-benchmark -k 0).
# Every server runs in a temporary directory on a free 127.0.0.1 port and is
# stopped at the end. SECONDS (default 2) is the measuring time of one
# round; cmsd and the epoll reference are measured ROUNDS times (default 3)
# at every level and in both ways of closing, taking turns (the one that
# went second goes first in the next round), and the table shows medians.
# Redis runs once per level at the end, each level after its closed
# connections have left TIME_WAIT. About 8 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" iproute2 redis-server redis-tools

seconds=${1:-2}
rounds=${2:-3}
clients=(1 4 16 64 200)
build=build-bench

. bench/net_lib.sh
build_release . "$build"
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT
start_pair "$build" "$work"

load() { "$build/bench/load_gen" --seconds "$seconds" "$@"; }
redis_port=$("$build/bench/load_gen" --free-port)
redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly no --dir "$work" \
  --daemonize no >"$work/redis.log" 2>&1 &
pids+=($!)
wait_listen "$redis_port"

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for close in reset orderly; do
  for c in "${clients[@]}"; do
    echo "$close, $c clients ..." >&2
    for r in $(seq "$rounds"); do
      cmsd_runs() {
        load --clients "$c" --close "$close" --port "$cmsd_port" --op get --server-pid "$cmsd_pid" \
          >>"$work/cmsd_get.txt"
        load --clients "$c" --close "$close" --port "$cmsd_port" --op set --server-pid "$cmsd_pid" \
          >>"$work/cmsd_set.txt"
      }
      epoll_run() {
        load --clients "$c" --close "$close" --port "$epoll_port" --op get --reference \
          --server-pid "$epoll_pid" >>"$work/epoll.txt"
      }
      if [ $((r % 2)) = 1 ]; then cmsd_runs; epoll_run; else epoll_run; cmsd_runs; fi
    done
  done
done
# About SECONDS at Redis's usual rate with a connection per request.
redis_requests=$(awk -v s="$seconds" 'BEGIN { printf "%d", s * 12000 }')
for c in "${clients[@]}"; do
  settle
  echo "redis, $c clients ..." >&2
  redis-benchmark -h 127.0.0.1 -p "$redis_port" -k 0 -c "$c" -n "$redis_requests" \
    -t get,set --csv 2>/dev/null \
    | tr -d '"' | awk -F, -v c="$c" '$1 == "GET" || $1 == "SET" { print $1, c, $2 }' \
    >>"$work/redis.txt"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
stop_servers

redis() { awk -v op="$1" -v c="$2" '$1 == op && $2 == c { print $3 }' "$work/redis.txt" | median; }

for close in reset orderly; do
  echo
  echo "Closing: $close"
  echo
  echo "| clients | cmsd get rps | cmsd set rps | epoll ref rps | get/epoll | set/epoll |" \
       "cmsd get p50/p99 µs | CPU µs/req cmsd get / ref | CPU ratio | ctx switches/req cmsd / ref |" \
       "redis GET rps | redis SET rps | get/redis | set/redis |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  for c in "${clients[@]}"; do
    f() { field "$work/$1.txt" "$close" "$c" "$2"; }
    g=$(f cmsd_get rps); s=$(f cmsd_set rps); e=$(f epoll rps)
    gc=$(f cmsd_get cpu_us); ec=$(f epoll cpu_us)
    rg=$(redis GET "$c"); rs=$(redis SET "$c")
    echo "| $c | $g | $s | $e | $(ratio "$g" "$e") | $(ratio "$s" "$e") |" \
         "$(f cmsd_get p50_us)/$(f cmsd_get p99_us) | $gc / $ec | $(ratio "$gc" "$ec") |" \
         "$(f cmsd_get cs) / $(f epoll cs) |" \
         "${rg%.*} | ${rs%.*} | $(ratio "$g" "$rg") | $(ratio "$s" "$rs") |"
  done
done
failures=$(cat "$work/cmsd_get.txt" "$work/cmsd_set.txt" "$work/epoll.txt" | sed -n 's/.*failures=//p' \
  | awk '{ s += $1 } END { print s + 0 }')
echo
echo "requests that failed (cmsd and reference): $failures"
