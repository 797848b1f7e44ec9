#!/bin/sh
# build.sh - builds the libFuzzer targets (fuzz/*_fuzz.cc) into build-fuzz/,
# each linked with the test support it uses (testing/) and the daemon sources
# it needs.
#
# The daemon sources (every *.cc of the daemon's folders except tests and
# main) are compiled once with coverage instrumentation and the sanitizers
# into one archive; the linker takes from it only what a target uses. The
# test support objects are linked whole: quiet_host.o must replace the C
# library's command and syslog functions in every target.
# Usage: fuzz/build.sh [TARGET...]   (default: every target)
set -eu

cd "$(dirname "$0")/.."
CXX=${CXX:-clang++}
OUT=build-fuzz
JOBS=${JOBS:-2}
SAN="-fsanitize=address,undefined -fno-sanitize-recover=all"
# The version the daemon reports, from the one place it is set.
VERSION=$(sed -n 's/^project(cmsd .*VERSION \([0-9.]*\)).*/\1/p' CMakeLists.txt)
CXXFLAGS="-std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Werror -I. $SAN"
DEPS="libevent_pthreads libevent libsodium"
PKG_CFLAGS=$(pkg-config --cflags $DEPS)
PKG_LIBS=$(pkg-config --libs $DEPS)
TESTING="testing/temp_root.cc testing/frame.cc testing/process_state.cc
         testing/fuzz_support.cc testing/quiet_host.cc"

if [ $# -gt 0 ]; then
  TARGETS="$*"
else
  TARGETS=$(ls fuzz/*_fuzz.cc | sed 's|.*/||; s|\.cc$||')
fi

mkdir -p "$OUT/obj" "$OUT/testing"
SOURCES=$(ls platform/*.cc support/*.cc files/*.cc store/*.cc conffiles/*.cc events/*.cc \
              core/*.cc 2>/dev/null | grep -v -e '_test\.cc$' -e '^core/main\.cc$')

# Objects are rebuilt when their source or any header is newer. Targets that
# load the example tree copy it from CMS_EXAMPLES_DIR.
NEWEST_HEADER=$(ls -t */*.h | head -n 1)
for src in $SOURCES $TESTING; do
  case $src in testing/*) dir=testing ;; *) dir=obj ;; esac
  obj="$OUT/$dir/$(echo "$src" | tr / _).o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$NEWEST_HEADER" -nt "$obj" ]; then
    echo "$src $obj"
  fi
done | xargs -r -n 2 -P "$JOBS" sh -c \
  "echo \"  CXX \$0\"; $CXX $CXXFLAGS -DCMS_VERSION=\\\"$VERSION\\\" \
   -DCMS_EXAMPLES_DIR=\\\"$(pwd)/examples\\\" $PKG_CFLAGS -fsanitize=fuzzer-no-link -c \$0 -o \$1"

rm -f "$OUT/libcms_daemon_fuzz.a"
ar rcs "$OUT/libcms_daemon_fuzz.a" "$OUT"/obj/*.o

for target in $TARGETS; do
  echo "  LINK $OUT/$target"
  $CXX $CXXFLAGS $PKG_CFLAGS -fsanitize=fuzzer "fuzz/$target.cc" "$OUT"/testing/*.o \
    "$OUT/libcms_daemon_fuzz.a" $PKG_LIBS -lpthread -o "$OUT/$target"
done
