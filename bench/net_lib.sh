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

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
