#!/bin/sh
# run.sh - runs every fuzz target built by fuzz/build.sh for SECONDS seconds
# each, starting from its seed corpus in fuzz/corpus/<target>/. Inputs the
# fuzzer finds go to build-fuzz/corpus/<target>/, never into the seeds.
# Exits non-zero when any target crashes, leaks or trips a sanitizer; the
# input that did it is left in build-fuzz/artifacts/<target>/.
# Usage: fuzz/run.sh SECONDS [TARGET...]
set -u

if [ $# -lt 1 ]; then
  echo "usage: $0 SECONDS [TARGET...]" >&2
  exit 2
fi
SECONDS_EACH=$1
shift
cd "$(dirname "$0")/.."
OUT=build-fuzz

if [ $# -gt 0 ]; then
  TARGETS="$*"
else
  TARGETS=$(ls conffiles/*_fuzz.cc | sed 's|.*/||; s|\.cc$||')
fi

# The targets make their sandbox roots under TMPDIR; a crashed run cannot
# remove its own, so the whole directory goes when this script ends.
scratch=$(mktemp -d /dev/shm/cmsd-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR="$scratch"

failed=""
for target in $TARGETS; do
  if [ ! -x "$OUT/$target" ]; then
    echo "$target: not built (run fuzz/build.sh first)" >&2
    failed="$failed $target"
    continue
  fi
  mkdir -p "$OUT/corpus/$target" "$OUT/artifacts/$target"
  echo "== $target: $SECONDS_EACH s"
  if ! "$OUT/$target" -max_total_time="$SECONDS_EACH" -print_final_stats=1 \
      -artifact_prefix="$OUT/artifacts/$target/" \
      "$OUT/corpus/$target" "fuzz/corpus/$target"; then
    failed="$failed $target"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzzing failed:$failed" >&2
  exit 1
fi
echo "fuzzing passed:" $TARGETS
