#!/usr/bin/env bash
# history_cost.sh [SECONDS [ROUNDS]] - what the change history costs sets:
# set throughput at 16 clients with the history off (--history 0), on (the
# default 4096 records), and on with 10 `cms watch` followers attached. The
# three are measured one after the other in each round, each on a fresh
# daemon in a sandbox on a free 127.0.0.1 port, and the table shows the
# median of ROUNDS rounds (default 5) of SECONDS each (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
ensure_packages "${BUILD_PACKAGES[@]}" iproute2

seconds=${1:-3}
rounds=${2:-5}
build=build-bench
. bench/net_lib.sh
build_release . "$build"
cmake --build "$build" -j2 --target cms >/dev/null
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT
bash scripts/make_sandbox.sh "$work/root" >/dev/null

# One measurement: prints the set rate.
measure() {
  local history=$1 watchers=$2 port i
  port=$("$build/bench/load_gen" --free-port)
  PATH="$work/root/stub_bin:$PATH" "$build/cmsd" --root "$work/root" --port "$port" \
    --history "$history" >"$work/cmsd.log" 2>&1 &
  pids+=($!)
  wait_listen "$port"
  for ((i = 0; i < watchers; i++)); do
    CMS_PORT=$port "$build/cms" watch >/dev/null 2>&1 &
    pids+=($!)
  done
  "$build/bench/load_gen" --port "$port" --op set --clients 16 --seconds "$seconds" |
    sed -n 's/.* rps=\([0-9]*\).*/\1/p'
  stop_servers
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

declare -A rates
for ((r = 1; r <= rounds; r++)); do
  rates[off]+="$(measure 0 0) "
  rates[on]+="$(measure 4096 0) "
  rates[watched]+="$(measure 4096 10) "
done
off=$(echo "${rates[off]}" | tr ' ' '\n' | grep . | median)
on=$(echo "${rates[on]}" | tr ' ' '\n' | grep . | median)
watched=$(echo "${rates[watched]}" | tr ' ' '\n' | grep . | median)
echo "| history | set rps (16 clients, median of $rounds) | vs off | all rounds |"
echo "|---|---|---|---|"
echo "| off (--history 0) | $off | 1.00 | ${rates[off]}|"
echo "| on (4096) | $on | $(ratio "$on" "$off") | ${rates[on]}|"
echo "| on, 10 watchers | $watched | $(ratio "$watched" "$off") | ${rates[watched]}|"
