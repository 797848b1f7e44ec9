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

. bench/net_lib.sh
work=$(mktemp -d)
cleanup() {
  stop_servers
  git worktree remove --force "$work/src" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

git worktree add --detach "$work/src" "$rev" >/dev/null 2>&1
echo "building $rev and the working tree ..." >&2
build_release "$work/src" "$work/before"
build_release . build-bench
after=build-bench

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
  pids+=($!)
  wait_listen "$port"
  local extra=()
  [ "$server" = cmsd ] || extra=(--reference)
  "$b/bench/load_gen" --port "$port" --op "$op" --clients "$c" --seconds "$seconds" \
    --server-pid "${pids[0]}" "${extra[@]}"
  stop_servers
}
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

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
