#!/usr/bin/env bash
# hardening.sh - the checks beyond the ordinary test suites; test.sh runs it
# after them:
#   1. every libFuzzer target for FUZZ_SECONDS each (default 20), failing on
#      any crash, leak or sanitizer report (fuzz/build.sh, fuzz/run.sh);
#      figures in build-fuzz/fuzz-stats.txt;
#   2. a ThreadSanitizer build of the daemon (build-tsan) and the end-to-end
#      tests that drive its threads hardest: concurrency, transport, signals,
#      kills, write-back events;
#   3. the load test (200 clients, 2,000 names) for LOAD_SECONDS (default
#      10) against the normal build in LOAD_BUILD (default build-ci, which
#      test.sh has just built); figures in LOAD_BUILD/load.txt.
# Usage: scripts/hardening.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${FUZZ_SECONDS:-20}
load_seconds=${LOAD_SECONDS:-10}
load_build=${LOAD_BUILD:-build-ci}
jobs=$(nproc)

echo "== fuzzing: every target, ${fuzz_seconds} s each =="
JOBS=$jobs sh fuzz/build.sh
sh fuzz/run.sh "$fuzz_seconds"

echo "== ThreadSanitizer build and its tests =="
rm -rf build-tsan
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_TSAN=ON \
  -DCMS_BENCH=OFF
cmake --build build-tsan -j"$jobs" --target cmsd cms cms_e2e_tests
# Every daemon the tests start inherits these options: its first report
# ends it with status 66, which fails the test that started it. The test
# program itself is checked the same way.
TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
  build-tsan/cms_e2e_tests \
  --gtest_filter='Concurrency.*:TransportTest.*:Startup.Signal*:FaultKill.*:Integration.*'

echo "== load: 200 clients, ${load_seconds} s =="
if [ ! -x "$load_build/cms_e2e_tests" ]; then
  cmake -S . -B "$load_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMS_BENCH=OFF
  cmake --build "$load_build" -j"$jobs" --target cmsd cms_e2e_tests
fi
CMS_LOAD_SECONDS=$load_seconds "$load_build/cms_e2e_tests" \
  --gtest_filter='LoadTest.*' | tee "$load_build/load.txt"

echo "Hardening checks passed."
