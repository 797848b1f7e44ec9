#!/usr/bin/env bash
# demo.sh - builds cmsd and runs it in the foreground on the example
# configuration, in ./sandbox, on port CMS_PORT (default 25001). Ctrl-C
# stops it (the script turns it into SIGTERM: the daemon itself ignores
# SIGINT, as on the router). `rm -rf sandbox` starts over from the example tree.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

ensure_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build -DCMS_BENCH=OFF
cmake --build build -j"$(nproc)" --target cmsd cms

root="$PWD/sandbox"
port=${CMS_PORT:-25001}
bash scripts/make_sandbox.sh "$root"

cat <<MSG

cmsd serves the example configuration on 127.0.0.1:$port (root $root).
Try, in another terminal:
  build/cms -p $port get hostname
  build/cms -p $port set hostname my-router && build/cms -p $port commit
  build/cms -p $port show lan_
  cat sandbox/mnt/jffs2/conf/user/sysini.conf sandbox/mnt/jffs2/conf/app/hosts
  CMS_ROOT=sandbox build/cms monitor      # message-center events, as they are sent
Device commands the daemon ran are in sandbox/stub_calls.log.

MSG
export PATH="$root/stub_bin:$PATH"
build/cmsd --root "$root" --port "$port" --log-stderr &
pid=$!
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
# A trapped signal interrupts `wait`; keep waiting until the daemon is gone,
# then end with its exit status.
while kill -0 "$pid" 2>/dev/null; do
  wait "$pid" || true
done
wait "$pid"
