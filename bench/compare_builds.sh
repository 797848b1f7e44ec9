#!/usr/bin/env bash
# compare_builds.sh REV [SECONDS] - before/after of a change to the daemon's
# request path, in one run: builds git revision REV (before) and the working
# tree (after) in Release, then measures each build's cmsd with the working
# tree's load generator, the two taking turns at every concurrency level and
# in both ways of closing, so that both see the same machine. Prints
# after/before ratios, CPU time and context switches per request.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: $0 REV [SECONDS]" >&2; exit 2; }
rev=$1
seconds=${2:-2}
clients=(1 4 16 64 200)

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

# measure BUILD CLOSE CLIENTS: one load_gen line of gets for that build's
# cmsd, driven by the working tree's load generator (and so its client
# library) for both builds.
measure() {
  local b=$1 close=$2 c=$3 port
  port=$("$after/bench/load_gen" --free-port)
  rm -rf "$work/root"
  bash scripts/make_sandbox.sh "$work/root"
  PATH="$work/root/stub_bin:$PATH" "$b/cmsd" --root "$work/root" --port "$port" \
    >/dev/null 2>&1 &
  pids+=($!)
  wait_listen "$port"
  "$after/bench/load_gen" --port "$port" --op get --close "$close" --clients "$c" \
    --seconds "$seconds" --server-pid "${pids[0]}"
  stop_servers
}
field() { tr ' ' '\n' <<<"$1" | sed -n "s/^$2=//p"; }

echo "| close | clients | rps before | rps after | ratio | p99 µs before/after | CPU µs/req before/after | ctx switches/req before/after |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|"
for close in reset orderly; do
  for c in "${clients[@]}"; do
    b=$(measure "$work/before" "$close" "$c")
    a=$(measure "$after" "$close" "$c")
    echo "| $close | $c | $(field "$b" rps) | $(field "$a" rps) |" \
         "$(ratio "$(field "$a" rps)" "$(field "$b" rps)") |" \
         "$(field "$b" p99_us)/$(field "$a" p99_us) | $(field "$b" cpu_us)/$(field "$a" cpu_us) |" \
         "$(field "$b" cs)/$(field "$a" cs) |"
  done
done
