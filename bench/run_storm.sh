#!/usr/bin/env bash
# run_storm.sh [ROUNDS [SECONDS [REQUESTS]]] - clients that all connect at
# the same instant (a boot), and slow senders, against cmsd and the epoll
# reference side by side. 200 and 500 clients, both ways of closing, each
# as a fixed-duration run (SECONDS, default 2) and a fixed-count run
# (REQUESTS per client, default 5), ROUNDS times (default 3), the two
# servers taking turns. Latency is measured from the very first request.
# Then 1,000 slow senders (one byte every 2 s each) against cmsd with a
# descriptor limit of 1,024, while one client gets for 10 s.
# Both servers run with a descriptor limit of 1,024 as on the device.
# About 3 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
seconds=${2:-2}
requests=${3:-5}
build=build-bench

. bench/net_lib.sh
build_release . "$build"
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT
CMSD_NOFILE=1024 start_pair "$build" "$work"
load() { "$build/bench/load_gen" --storm "$@"; }

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)" >&2
for run in "--seconds $seconds" "--requests $requests"; do
  kind=${run%% *}
  for close in reset orderly; do
    for c in 200 500; do
      echo "$kind $close $c ..." >&2
      for r in $(seq "$rounds"); do
        # shellcheck disable=SC2086
        a() { load $run --clients "$c" --close "$close" --port "$cmsd_port" \
                --server-pid "$cmsd_pid" >>"$work/cmsd$kind.txt"; }
        # shellcheck disable=SC2086
        b() { load $run --clients "$c" --close "$close" --port "$epoll_port" --reference \
                --server-pid "$epoll_pid" >>"$work/epoll$kind.txt"; }
        if [ $((r % 2)) = 1 ]; then a; b; else b; a; fi
      done
    done
  done
done

echo "slow senders ..." >&2
"$build/bench/load_gen" --port "$cmsd_port" --clients 1 --seconds 10 --slow-senders 1000 \
  --server-pid "$cmsd_pid" >"$work/slow.txt" &
loader=$!
sleep 4  # slow senders open after 1 s; the first of them time out at 7 s
held=$(ls "/proc/$cmsd_pid/fd" | wc -l)
threads=$(ls "/proc/$cmsd_pid/task" | wc -l)
wait "$loader"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)" >&2

for kind in --seconds --requests; do
  echo
  [ "$kind" = --seconds ] && echo "Fixed duration, $seconds s per run" ||
    echo "Fixed count, $requests requests per client"
  echo
  echo "| close | clients | cmsd rps | ref rps | ratio | cmsd p99 / p99.9 / max µs (worst round) |" \
       "ref p99 / p99.9 / max µs (worst round) | failed cmsd / ref |"
  echo "|---|---:|---:|---:|---:|---:|---:|---:|"
  for close in reset orderly; do
    for c in 200 500; do
      cm="$work/cmsd$kind.txt" ep="$work/epoll$kind.txt"
      g=$(field "$cm" "$close" "$c" rps); e=$(field "$ep" "$close" "$c" rps)
      fails() { grep " close=$close clients=$c " "$1" | sed -n 's/.*failures=//p' | awk '{ s += $1 } END { print s + 0 }'; }
      echo "| $close | $c | $g | $e | $(ratio "$g" "$e") |" \
           "$(worst "$cm" "$close" "$c" p99_us) / $(worst "$cm" "$close" "$c" p999_us) / $(worst "$cm" "$close" "$c" max_us) |" \
           "$(worst "$ep" "$close" "$c" p99_us) / $(worst "$ep" "$close" "$c" p999_us) / $(worst "$ep" "$close" "$c" max_us) |" \
           "$(fails "$cm") / $(fails "$ep") |"
    done
  done
done
echo
echo "1,000 slow senders, descriptor limit 1,024; one client's gets for 10 s:"
cat "$work/slow.txt"
echo "daemon during the run: $held descriptors, $threads threads"
