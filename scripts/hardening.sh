#!/usr/bin/env bash
# hardening.sh - the checks beyond the ordinary test suites; test.sh runs it
# after them:
#   1. every libFuzzer target for FUZZ_SECONDS each (default 20), failing on
#      any crash, leak or sanitizer report (fuzz/build.sh, fuzz/run.sh);
#      figures in build-fuzz/fuzz-stats.txt;
#   2. a ThreadSanitizer build of the daemon (build-tsan), driven by the
#      end-to-end tests that work its threads hardest: concurrency,
#      transport, signals, kills, write-back events.
# (Throughput and latency under load: bench/, BENCHMARKS.md.)
# The tests come from the normal build in NORMAL_BUILD (default build-ci,
# which test.sh has just made; built here when missing).
# Usage: scripts/hardening.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-20}
normal_build=${NORMAL_BUILD:-build-ci}
jobs=$(nproc)

echo "== fuzzing: every target, ${fuzz_seconds} s each, ${jobs} at a time =="
# Objects from scratch, as every other build here; the corpus the fuzzers
# have found so far is kept.
rm -rf build-fuzz/obj build-fuzz/testing build-fuzz/libcms_daemon_fuzz.a
JOBS=$jobs sh fuzz/build.sh
JOBS=$jobs sh fuzz/run.sh "$fuzz_seconds"

# The end-to-end tests of the normal build drive the daemons below.
if [ ! -x "$normal_build/cms_e2e_tests" ]; then
  cmake -S . -B "$normal_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_BENCH=OFF -DCMS_WERROR=ON
  cmake --build "$normal_build" -j"$jobs" --target cmsd cms_e2e_tests
fi

echo "== ThreadSanitizer daemon and the tests that drive its threads =="
rm -rf build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_TSAN=ON -DCMS_WERROR=ON \
  -DCMS_TESTS=OFF -DCMS_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target cmsd
# Every daemon these tests start is the ThreadSanitizer one and inherits the
# options: its first report ends it with status 66, which fails the test.
CMS_TEST_CMSD=$(pwd)/build-tsan/cmsd \
  TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
  "$normal_build/cms_e2e_tests" \
  --gtest_filter='Concurrency.*:TransportTest.*:Startup.Signal*:FaultKill.*'

echo "Hardening checks passed."
