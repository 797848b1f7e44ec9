#!/usr/bin/env bash
# fault_drill.sh - shows that the test suites catch each of ten deliberate
# faults. Every fault is one exact text edit of product code; the drill
# applies it to a copy of the tree, rebuilds incrementally, runs the unit
# tests and, when they pass, the end-to-end tests, then reverts it. A fault
# is CAUGHT when a suite fails, MISSED when both pass; a fault whose text is
# not found exactly once (the code moved) or that does not compile is a
# drill ERROR, to be brought up to date, never skipped.
#
# Usage: scripts/fault_drill.sh [SOURCE_DIR] [BUILD_DIR]
#   SOURCE_DIR  checkout to drill (default: this one); never changed: its
#               git-tracked files are copied to BUILD_DIR/src.
#   BUILD_DIR   kept for reuse between drills (default: a temporary directory
#               removed at the end): src/ (the copy, refreshed file by file so
#               unchanged files keep their times), build/ (RelWithDebInfo) and
#               build-asan/ (AddressSanitizer, made only when a fault marked
#               "asan" passes the normal build).
# Exits 0 only when every fault was caught. JOBS (default 2) sets the build's
# parallelism; SUITE_TIMEOUT (default 900 s) bounds one test binary's run.
set -uo pipefail

source_dir=$(cd "${1:-$(dirname "$0")/..}" && pwd) || exit 2
if [ -n "${2:-}" ]; then
  mkdir -p "$2" && work=$(cd "$2" && pwd) || exit 2
else
  work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
fi
jobs=${JOBS:-2}
suite_timeout=${SUITE_TIMEOUT:-900}
src=$work/src
logs=$work/logs
mkdir -p "$src" "$logs"

# The faults: name, build ("normal", or "asan" when the fault may only show
# under AddressSanitizer), what it breaks, file, exact old text, new text.
faults() {
  python3 - "$@" <<'PY'
import sys

FAULTS = [
    ("F1", "normal", "name one longer than the 63-character limit accepted",
     "store/operations.cc",
     "strlen(name) <= kMaxNameLength &&",
     "strlen(name) <= kMaxNameLength + 1 &&"),
    ("F2", "normal", "value one byte too long for its file line accepted",
     "store/operations.cc",
     "strlen(name) + strlen(value) + 2 <= kMaxValueLength;",
     "strlen(name) + strlen(value) + 1 <= kMaxValueLength;"),
    ("F3", "normal", "fsync skipped before the rename",
     "files/safe_file.cc",
     "  if (g_calls.fsync(fd) != 0) return errno;\n",
     ""),
    ("F4", "normal", "phase-0 refusal of a callback ignored",
     "store/operations.cc",
     "  *result = r->callback(r, value, kPhaseBefore);\n  if (*result == 0) return nullptr;\n",
     "  *result = r->callback(r, value, kPhaseBefore);\n"),
    ("F5", "normal", "set of one side changes the other side",
     "store/operations.cc",
     "mode == kModeSetUser ? kUserSide : kIspSide",
     "mode == kModeSetUser ? kIspSide : kUserSide"),
    ("F6", "normal", "set not marked dirty, never written back",
     "store/operations.cc",
     "      r->*side.changed = 1;\n      MarkDirty(*r, side);\n      break;\n",
     "      r->*side.changed = 1;\n      break;\n"),
    ("F7", "normal", "value in double quotes not escaped",
     "platform/shell.cc",
     "        if (c == '\\\\' || c == '\"' || c == '$' || c == '`') out.push_back('\\\\');\n",
     ""),
    ("F8", "asan", "request field read past the end of its area",
     "core/dispatcher.cc",
     "const size_t len = strnlen(area, N);",
     "const size_t len = strlen(area);"),
    ("F9", "normal", "failed write clears the file's dirty flag",
     "store/write_back.cc",
     "        RemarkAnnounced();\n        ReportFailure(path, err);\n",
     "        entry_.dirty = 0;\n        ReportFailure(path, err);\n"),
    ("F10", "normal", "stamped sealed request admitted a second time",
     "core/replay_window.cc",
     "  if (seen_.contains(entry)) return false;\n",
     ""),
]

def occurrences(root, f):
    with open(f"{root}/{f[3]}", encoding="utf-8") as fh:
        return fh.read().count(f[4])

cmd = sys.argv[1]
if cmd == "list":
    for f in FAULTS:
        print("\t".join(f[:4]))
elif cmd == "check":  # every fault's old text exactly once in the tree
    bad = [f"{f[0]}: old text found {occurrences(sys.argv[2], f)} times in {f[3]}"
           for f in FAULTS if occurrences(sys.argv[2], f) != 1]
    for line in bad:
        print(line, file=sys.stderr)
    sys.exit(1 if bad else 0)
elif cmd == "apply":
    f = next(f for f in FAULTS if f[0] == sys.argv[3])
    path = f"{sys.argv[2]}/{f[3]}"
    with open(path, encoding="utf-8") as fh:
        text = fh.read()
    if text.count(f[4]) != 1:
        sys.exit(f"{f[0]}: old text found {text.count(f[4])} times in {f[3]}")
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text.replace(f[4], f[5]))
PY
}

# Refreshes the copy: only files whose content differs are written, so an
# incremental build rebuilds only what changed since the last drill.
refresh_copy() {
  local stage=$work/stage f
  rm -rf "$stage" && mkdir -p "$stage" || return 1
  git -C "$source_dir" ls-files -z | tar -C "$source_dir" --null -T - -cf - |
    tar -C "$stage" -xf - || return 1
  (cd "$stage" && find . -type f) | while read -r f; do
    cmp -s "$stage/$f" "$src/$f" ||
      { mkdir -p "$(dirname "$src/$f")" && cp "$stage/$f" "$src/$f"; }
  done
  (cd "$src" && find . -type f) | while read -r f; do
    [ -e "$stage/$f" ] || rm -f "$src/$f"
  done
  rm -rf "$stage"
}

# build DIR [cmake options...]: configures once, then builds the test targets.
build() {
  local dir=$1 log=$logs/$(basename "$1").log
  shift
  { [ -f "$dir/CMakeCache.txt" ] ||
      cmake -S "$src" -B "$dir" -DCMS_BENCH=OFF "$@"; } >"$log" 2>&1 &&
    cmake --build "$dir" -j"$jobs" --target cmsd cms cms_unit_tests \
      cms_e2e_tests >>"$log" 2>&1 && return 0
  grep -m5 -E 'error|Error' "$log" >&2
  return 1
}

# suites DIR [baseline]: runs the unit tests, then (if they pass) the
# end-to-end tests. Sets $failed to what failed ("binary: first test
# names"), or empty. A test that fails on the unchanged tree (the baseline)
# is left out of every later run: it could not tell a fault.
declare -A left_out
suites() {
  local dir=$1 baseline=${2:-} t rc names log tests
  failed=
  for t in cms_unit_tests cms_e2e_tests; do
    log=$logs/$t.$(basename "$dir").log
    (cd "$dir" && timeout "$suite_timeout" "./$t" --gtest_brief=1 \
      ${left_out[$t]:+--gtest_filter=-${left_out[$t]}}) </dev/null >"$log" 2>&1
    rc=$?
    [ "$rc" -eq 0 ] && continue
    mapfile -t tests < <(sed -n 's/^\[  FAILED  \] \([^ ]*\.[^ ]*\).*/\1/p' \
      "$log" | sort -u)
    # Timing tests can fail on a loaded machine: a failure counts only when
    # the failed tests fail again on their own.
    if [ "${#tests[@]}" -gt 0 ] && (cd "$dir" && timeout "$suite_timeout" \
        "./$t" --gtest_filter="$(IFS=:; echo "${tests[*]}")") \
        </dev/null >"$log.again" 2>&1; then
      echo "  not counted, passed when run again: ${tests[*]}"
      continue
    fi
    if [ -n "$baseline" ] && [ "${#tests[@]}" -gt 0 ]; then
      echo "  LEFT OUT, failing on the unchanged tree: ${tests[*]}"
      left_out[$t]=${left_out[$t]:+${left_out[$t]}:}$(IFS=:; echo "${tests[*]}")
      continue
    fi
    names=$(printf '%s, ' "${tests[@]:0:3}")
    names=${names%, }
    [ "${#tests[@]}" -gt 3 ] && names="$names (+$((${#tests[@]} - 3)) more)"
    [ "$rc" -eq 124 ] && names="${names:+$names; }timed out"
    [ "$rc" -gt 128 ] && [ "$rc" -ne 124 ] && names="${names:+$names; }killed by signal $((rc - 128))"
    # A sanitizer report ends the binary without test names: its kind and
    # the test body it came from instead.
    [ -z "$names" ] && names=$(sed -n 's/^SUMMARY: \(AddressSanitizer: [^ ]*\).*/\1/p' \
      "$log")$(sed -n 's/.* in TestBody \.\.\/src\/\(.*\)/ in \1/p' "$log" | head -1)
    [ -z "$names" ] && names="exit status $rc"
    failed="$t: $names"
    return
  done
}

start=$(date +%s)
echo "fault drill of $source_dir in $work"
refresh_copy || { echo "could not copy $source_dir" >&2; exit 2; }
faults check "$src" || { echo "faults out of date: update them to the code" >&2; exit 2; }

normal=$work/build asan=$work/build-asan asan_ready=
echo "baseline: the unchanged tree must pass its suites"
build "$normal" || { echo "the unchanged tree does not build" >&2; exit 2; }
suites "$normal" baseline
[ -z "$failed" ] || { echo "the unchanged tree fails: $failed" >&2; exit 2; }

# The sanitizer build, with its own baseline, the first time a fault needs it.
prepare_asan() {
  [ -n "$asan_ready" ] && return 0
  echo "  baseline of the AddressSanitizer build"
  build "$asan" -DCMS_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug || return 1
  suites "$asan" baseline
  [ -z "$failed" ] || { echo "the unchanged tree fails under ASan: $failed" >&2; return 1; }
  asan_ready=1
}

mapfile -t list < <(faults list)
rows=() status=0
for line in "${list[@]}"; do
  IFS=$'\t' read -r name mode what file <<<"$line"
  echo "$name: $what ($file)"
  cp "$src/$file" "$work/original"
  verdict=
  if ! faults apply "$src" "$name"; then
    verdict="ERROR: old text not found exactly once"
  elif ! build "$normal"; then
    verdict="ERROR: does not compile"
  else
    suites "$normal"
    if [ -n "$failed" ]; then
      verdict="CAUGHT by $failed"
    elif [ "$mode" = asan ]; then
      # The sanitizer baseline runs on the unchanged file.
      cp "$work/original" "$src/$file"
      if ! prepare_asan; then
        verdict="ERROR: AddressSanitizer build unusable"
      else
        faults apply "$src" "$name"
        if ! build "$asan"; then
          verdict="ERROR: does not compile (ASan build)"
        else
          suites "$asan"
          verdict=${failed:+CAUGHT (ASan build) by $failed}
          verdict=${verdict:-MISSED (normal and ASan builds)}
        fi
      fi
    else
      verdict=MISSED
    fi
  fi
  # Written anew, so the next build recompiles the file.
  cp "$work/original" "$src/$file"
  case $verdict in CAUGHT*) ;; *) status=1 ;; esac
  echo "  $verdict"
  rows+=("$(printf '%-4s %-55s %s' "$name" "$what" "$verdict")")
done

echo
printf '%-4s %-55s %s\n' fault "what it breaks" result
printf '%s\n' "${rows[@]}"
for t in "${!left_out[@]}"; do echo "left out of $t: ${left_out[$t]}"; done
echo "drill time: $(( ($(date +%s) - start) / 60 )) min $(( ($(date +%s) - start) % 60 )) s"
exit $status
