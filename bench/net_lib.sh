# net_lib.sh - shared by the request benchmarks (sourced, not run).

# build_release SOURCE_DIR BUILD_DIR: cmsd, the load generator and the epoll
# reference in Release.
build_release() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DCMS_TESTS=OFF -DCMS_BENCH=ON >/dev/null
  cmake --build "$2" -j"$(nproc)" --target cmsd load_gen epoll_ref >/dev/null
}

# Servers started in the background; stop_servers kills them all.
pids=()
stop_servers() {
  local pid
  for pid in "${pids[@]}"; do
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}

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

# start_pair BUILD WORK: cmsd (sandbox in WORK/root, descriptor limit
# $CMSD_NOFILE when set) and the epoll reference, each on a free port; sets
# cmsd_port, cmsd_pid, epoll_port, epoll_pid.
start_pair() {
  local b=$1 w=$2 limit=()
  bash scripts/make_sandbox.sh "$w/root"
  [ -n "${CMSD_NOFILE:-}" ] && limit=(prlimit --nofile="$CMSD_NOFILE:$CMSD_NOFILE")
  cmsd_port=$("$b/bench/load_gen" --free-port)
  PATH="$w/root/stub_bin:$PATH" "${limit[@]}" "$b/cmsd" --root "$w/root" --port "$cmsd_port" \
    >"$w/cmsd.log" 2>&1 &
  cmsd_pid=$!
  pids+=("$cmsd_pid")
  epoll_port=$("$b/bench/load_gen" --free-port)
  "$b/bench/epoll_ref" "$epoll_port" &
  epoll_pid=$!
  pids+=("$epoll_pid")
  wait_listen "$cmsd_port"
  wait_listen "$epoll_port"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'; }
# field FILE CLOSE CLIENTS KEY: the median of a value over the load_gen lines
# of that closing mode and concurrency.
field() {
  grep " close=$2 clients=$3 " "$1" | tr ' ' '\n' | sed -n "s/^$4=//p" | median
}
# worst FILE CLOSE CLIENTS KEY: the highest.
worst() {
  grep " close=$2 clients=$3 " "$1" | tr ' ' '\n' | sed -n "s/^$4=//p" | sort -g | tail -1
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
