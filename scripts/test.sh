#!/usr/bin/env bash
# test.sh - builds from scratch and runs every test: a normal build
# (build-ci) and an AddressSanitizer + UndefinedBehaviorSanitizer build
# (build-asan) with the unit and end-to-end suites, a ThreadSanitizer build
# (build-tsan) with the concurrency test, and the fuzz targets (build-fuzz)
# for CMS_FUZZ_SECONDS (default 15) each.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# dnsmasq and snmpd check the generated configuration files; clang builds
# the fuzz targets.
ensure_packages "${BUILD_PACKAGES[@]}" dnsmasq-base snmpd iproute2 clang libclang-rt-14-dev

jobs=$(nproc)

run_build() {
  local dir=$1
  shift
  rm -rf "$dir"
  cmake -S . -B "$dir" "$@"
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure --timeout 600 --parallel "$jobs")
}

echo "== normal build =="
run_build build-ci -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_BENCH=OFF

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
export ASAN_OPTIONS=abort_on_error=0:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_build build-asan -DCMAKE_BUILD_TYPE=Debug -DCMS_SANITIZE=ON -DCMS_BENCH=OFF

echo "== ThreadSanitizer build: clients, tick, write-backs and signals together =="
unset ASAN_OPTIONS UBSAN_OPTIONS
rm -rf build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_TSAN=ON -DCMS_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target cmsd cms cms_e2e_tests
(cd build-tsan && ./cms_e2e_tests --gtest_filter='Concurrency.*')

echo "== fuzzing =="
rm -rf build-fuzz
JOBS=$jobs sh fuzz/build.sh
sh fuzz/run.sh "${CMS_FUZZ_SECONDS:-15}"

echo "All tests passed."
