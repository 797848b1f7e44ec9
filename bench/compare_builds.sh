#!/usr/bin/env bash
# compare_builds.sh REV [SECONDS] - before/after of a change to the request
# path, in one run: builds git revision REV (before) and the working tree
# (after) in Release, then measures each build's cmsd with that build's own
# client library and load generator, the two taking turns at every
# concurrency level so that both see the same machine. Also drives the
# epoll reference with each build's client library, which isolates what a
# change on the client side does. Prints after/before ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: $0 REV [SECONDS]" >&2; exit 2; }
rev=$1
seconds=${2:-2}
clients=(1 4 16 64)

work=$(mktemp -d)
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
cleanup() {
  stop_server
  git worktree remove --force "$work/src" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

build() {  # build SOURCE_DIR BUILD_DIR
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCMS_TESTS=OFF -DCMS_BENCH=ON >/dev/null
  cmake --build "$2" -j"$(nproc)" --target cmsd load_gen epoll_ref >/dev/null
}
git worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
echo "building $rev and the working tree ..." >&2
build "$work/src" "$work/before"
build . build-bench
after=build-bench

# Connections closed in order by an earlier run (Redis's benchmark closes
# that way) hold loopback ports in TIME_WAIT for a minute and make every
# connect hunt for a free port; wait for them to go before measuring.
settle() {
  local i
  for i in $(seq 70); do
    [ "$(ss -Htan state time-wait | wc -l)" -lt 1000 ] && return 0
    sleep 1
  done
}

wait_listen() {
  local port=$1 i
  for i in $(seq 200); do
    ss -Hltn "sport = :$port" | grep -q . && return 0
    sleep 0.05
  done
  echo "nothing listens on port $port" >&2
  return 1
}

# measure BUILD OP CLIENTS SERVER: one load_gen line for that build.
measure() {
  local b=$1 op=$2 c=$3 server=$4 port
  port=$("$b/bench/load_gen" --free-port)
  if [ "$server" = cmsd ]; then
    rm -rf "$work/root"
    bash scripts/make_sandbox.sh "$work/root"
    PATH="$work/root/stub_bin:$PATH" "$b/cmsd" --root "$work/root" --port "$port" \
      >/dev/null 2>&1 &
  else
    "$b/bench/epoll_ref" "$port" &
  fi
  server_pid=$!
  wait_listen "$port"
  local extra=()
  [ "$server" = cmsd ] || extra=(--reference)
  "$b/bench/load_gen" --port "$port" --op "$op" --clients "$c" --seconds "$seconds" \
    --server-pid "$server_pid" "${extra[@]}"
  stop_server
}
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

settle
echo "| server | op | clients | rps before | rps after | ratio | p99 µs before/after | server CPU µs/req before/after |"
echo "|---|---|---:|---:|---:|---:|---:|---:|"
for server in cmsd epoll_ref; do
  ops=(get set)
  [ "$server" = cmsd ] || ops=(get)
  for op in "${ops[@]}"; do
    for c in "${clients[@]}"; do
      b=$(measure "$work/before" "$op" "$c" "$server")
      a=$(measure "$after" "$op" "$c" "$server")
      echo "| $server | $op | $c | $(field "$b" rps) | $(field "$a" rps) |" \
           "$(ratio "$(field "$a" rps)" "$(field "$b" rps)") |" \
           "$(field "$b" p99_us)/$(field "$a" p99_us) | $(field "$b" cpu_us)/$(field "$a" cpu_us) |"
    done
  done
done
