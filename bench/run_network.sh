#!/usr/bin/env bash
# run_network.sh [SECONDS [ROUNDS]] - request throughput of cmsd on
# loopback, side by side with two references measured in the same run: a
# minimal epoll server answering 1024-byte frames (the loopback limit) and
# redis-server with a new connection per request (redis-benchmark -k 0).
# Every server runs in a temporary directory on a free 127.0.0.1 port and is
# stopped at the end. SECONDS (default 2) is the measuring time of one
# round; every concurrency level is measured ROUNDS times (default 3) and
# the table shows medians, so that a moment of noise on a shared machine
# does not decide a ratio. About 6 minutes, most of it waiting between
# levels for Redis's closed connections to leave TIME_WAIT.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" iproute2 redis-server redis-tools

seconds=${1:-2}
rounds=${2:-3}
clients=(1 4 16 64)
build=build-bench

. bench/net_lib.sh
build_release . "$build"
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT

load() { "$build/bench/load_gen" --seconds "$seconds" "$@"; }

# All three servers run side by side, and each concurrency level measures
# them one after the other, so that the ratios of a level compare nearly the
# same moments of a shared machine. Redis comes last in a level, and the
# next level waits for its TIME_WAIT connections to clear.
bash scripts/make_sandbox.sh "$work/root"
cmsd_port=$("$build/bench/load_gen" --free-port)
PATH="$work/root/stub_bin:$PATH" "$build/cmsd" --root "$work/root" --port "$cmsd_port" \
  >"$work/cmsd.log" 2>&1 &
cmsd_pid=$!
pids+=("$cmsd_pid")
epoll_port=$("$build/bench/load_gen" --free-port)
"$build/bench/epoll_ref" "$epoll_port" &
epoll_pid=$!
pids+=("$epoll_pid")
redis_port=$("$build/bench/load_gen" --free-port)
redis-server --bind 127.0.0.1 --port "$redis_port" --save '' --appendonly no --dir "$work" \
  --daemonize no >"$work/redis.log" 2>&1 &
pids+=($!)
for port in "$cmsd_port" "$epoll_port" "$redis_port"; do wait_listen "$port"; done
# About SECONDS at Redis's usual rate with a connection per request.
redis_requests=$(awk -v s="$seconds" 'BEGIN { printf "%d", s * 12000 }')
for c in "${clients[@]}"; do
  settle
  echo "$c clients ..." >&2
  for _ in $(seq "$rounds"); do
    load --clients "$c" --port "$cmsd_port" --op get --server-pid "$cmsd_pid" >>"$work/cmsd_get.txt"
    load --clients "$c" --port "$cmsd_port" --op set --server-pid "$cmsd_pid" >>"$work/cmsd_set.txt"
    load --clients "$c" --port "$epoll_port" --op get --reference --server-pid "$epoll_pid" \
      >>"$work/epoll.txt"
  done
  for _ in $(seq "$rounds"); do
    redis-benchmark -h 127.0.0.1 -p "$redis_port" -k 0 -c "$c" -n "$redis_requests" \
      -t get,set --csv 2>/dev/null \
      | tr -d '"' | awk -F, -v c="$c" '$1 == "GET" || $1 == "SET" { print $1, c, $2 }' \
      >>"$work/redis.txt"
  done
done
stop_servers

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# field FILE CLIENTS KEY: the median of a value over the rounds' load_gen lines.
field() { grep " clients=$2 " "$1" | tr ' ' '\n' | sed -n "s/^$3=//p" | median; }
redis() { awk -v op="$1" -v c="$2" '$1 == op && $2 == c { print $3 }' "$work/redis.txt" | median; }

echo "| clients | cmsd get rps | cmsd set rps | epoll ref rps | redis GET rps | redis SET rps |" \
     "get/redis | set/redis | get/epoll | set/epoll | get p50/p99 µs | set p50/p99 µs | cmsd CPU µs/req get/set |"
echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for c in "${clients[@]}"; do
  g=$(field "$work/cmsd_get.txt" "$c" rps)
  s=$(field "$work/cmsd_set.txt" "$c" rps)
  e=$(field "$work/epoll.txt" "$c" rps)
  rg=$(redis GET "$c")
  rs=$(redis SET "$c")
  echo "| $c | $g | $s | $e | ${rg%.*} | ${rs%.*} |" \
       "$(ratio "$g" "$rg") | $(ratio "$s" "$rs") | $(ratio "$g" "$e") | $(ratio "$s" "$e") |" \
       "$(field "$work/cmsd_get.txt" "$c" p50_us)/$(field "$work/cmsd_get.txt" "$c" p99_us) |" \
       "$(field "$work/cmsd_set.txt" "$c" p50_us)/$(field "$work/cmsd_set.txt" "$c" p99_us) |" \
       "$(field "$work/cmsd_get.txt" "$c" cpu_us)/$(field "$work/cmsd_set.txt" "$c" cpu_us) |"
done
failures=$(cat "$work/cmsd_get.txt" "$work/cmsd_set.txt" | sed -n 's/.*failures=//p' | awk '{ s += $1 } END { print s + 0 }')
echo
echo "cmsd requests that failed: $failures"
