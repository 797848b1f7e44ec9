#!/bin/sh
# run.sh - runs every fuzz target built by fuzz/build.sh for SECONDS seconds
# each, starting from its seed corpus in fuzz/corpus/<target>/, JOBS targets
# at a time (default 1). Inputs the fuzzer finds go to
# build-fuzz/corpus/<target>/, never into the seeds.
# Exits non-zero when any target crashes, leaks or trips a sanitizer (also a
# report that did not stop the target); the input that did it is left in
# build-fuzz/artifacts/<target>/ and the whole output in
# build-fuzz/logs/<target>.log.
# One line per target is printed and kept in build-fuzz/fuzz-stats.txt:
#   target seconds executions exec/s coverage corpus-inputs seed-inputs
# (coverage: edges reached; corpus: inputs kept at the end, seeds included).
# Usage: [JOBS=N] fuzz/run.sh SECONDS [TARGET...]
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
SECONDS_EACH=$1
shift
JOBS=${JOBS:-1}
cd "$(dirname "$0")/.."
# Absolute: some targets work inside their own temporary root.
OUT=$(pwd)/build-fuzz
SEEDS=$(pwd)/fuzz/corpus

if [ $# -gt 0 ]; then
  TARGETS="$*"
else
  TARGETS=$(ls fuzz/*_fuzz.cc | sed 's|.*/||; s|\.cc$||')
fi

# Runs one target; its verdict goes to $OUT/logs/<target>.result: a stats
# line, or "FAILED".
run_one() {
  target=$1
  log="$OUT/logs/$target.log"
  result="$OUT/logs/$target.result"
  if [ ! -x "$OUT/$target" ] || [ ! -d "$SEEDS/$target" ]; then
    echo "$target: not built (run fuzz/build.sh first) or no seeds" > "$log"
    echo FAILED > "$result"
    return
  fi
  mkdir -p "$OUT/corpus/$target" "$OUT/artifacts/$target"
  # A run ends by time with status 0; a crash, leak, timeout (an input
  # slower than 10 s) or running out of memory ends it non-zero.
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$OUT/$target" -max_total_time="$SECONDS_EACH" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$OUT/artifacts/$target/" \
      "$OUT/corpus/$target" "$SEEDS/$target" > "$log" 2>&1 ||
    grep -q -e 'ERROR: AddressSanitizer' -e 'ERROR: LeakSanitizer' \
      -e 'runtime error:' -e 'WARNING: AddressSanitizer' "$log"; then
    echo FAILED > "$result"
    return
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  cov=$(sed -n 's/.*DONE *cov: *\([0-9]*\).*/\1/p' "$log")
  corpus=$(sed -n 's/.*DONE .* corp: *\([0-9]*\)\/.*/\1/p' "$log")
  seeds=$(ls "$SEEDS/$target" | wc -l)
  printf '%-20s %7s %11s %8s %6s %7s %5s\n' "$target" "$SECONDS_EACH" \
    "$execs" "$rate" "$cov" "$corpus" "$seeds" > "$result"
}

mkdir -p "$OUT/logs"
# Each target makes its root below TMPDIR: memory-backed where it can be,
# and removed here, so that the roots of crashed runs do not pile up.
TMPDIR=$(mktemp -d /dev/shm/cmsd-fuzz.XXXXXX 2>/dev/null || mktemp -d)
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT
STATS="$OUT/fuzz-stats.txt"
printf '%-20s %7s %11s %8s %6s %7s %5s\n' target seconds executions exec/s \
  cov corpus seeds > "$STATS"
batch=""
count=0
for target in $TARGETS; do
  batch="$batch $target"
  count=$((count + 1))
  if [ "$count" -lt "$JOBS" ]; then
    continue
  fi
  echo "== $(echo $batch): $SECONDS_EACH s"
  for t in $batch; do run_one "$t" & done
  wait
  batch=""
  count=0
done
if [ -n "$batch" ]; then
  echo "== $(echo $batch): $SECONDS_EACH s"
  for t in $batch; do run_one "$t" & done
  wait
fi

failed=""
for target in $TARGETS; do
  result=$(cat "$OUT/logs/$target.result")
  if [ "$result" = FAILED ]; then
    failed="$failed $target"
    echo "== $target failed; the end of its output:" >&2
    tail -n 40 "$OUT/logs/$target.log" >&2
  else
    echo "$result" | tee -a "$STATS"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing failed:$failed" >&2
  exit 1
fi
echo "fuzzing passed: $(echo $TARGETS)"
