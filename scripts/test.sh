#!/usr/bin/env bash
# test.sh - builds from scratch a normal build (build-ci) and an
# AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan) and runs
# every test of both, then the hardening checks (scripts/hardening.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# clang builds the fuzz targets.
ensure_packages "${BUILD_PACKAGES[@]}" iproute2 clang libclang-rt-14-dev

jobs=$(nproc)

scripts/check_layers.sh

run_build() {
  local dir=$1
  shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -DCMS_WERROR=ON "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --timeout 600 --parallel "$jobs")
}

echo "== normal build =="
run_build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_BENCH=OFF

echo "== the installed library and cms, from a program outside the build =="
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install build-ci --prefix "$prefix" >/dev/null
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name cmsclient.pc)")
cc -std=c99 -pedantic -Wall -Wextra -Werror tests/pkgconfig_client.c \
  $(pkg-config --cflags --libs cmsclient) \
  -Wl,-rpath,"$(pkg-config --variable=libdir cmsclient)" -o "$prefix/client"
unset PKG_CONFIG_PATH
# Port 1: nobody listens there.
CMS_PORT=1 "$prefix/client"
"$prefix/bin/cms" --version

# The unit's commands must exist for the check: it is checked with them
# pointing at this build's daemon.
if command -v systemd-analyze >/dev/null; then
  echo "== systemd unit =="
  unit_dir=$(mktemp -d)
  sed "s|/usr/bin/cmsd|$PWD/build-ci/cmsd|g" contrib/cmsd.service >"$unit_dir/cmsd.service"
  systemd-analyze verify "$unit_dir/cmsd.service"
  rm -rf "$unit_dir"
fi

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMS_SANITIZE=ON -DCMS_BENCH=OFF

echo "== hardening: fuzzing, ThreadSanitizer =="
unset ASAN_OPTIONS UBSAN_OPTIONS
bash scripts/hardening.sh

echo "All tests passed."
