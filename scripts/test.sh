#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and runs every
# test in three configurations: plain, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer (the facade and worker
# tests).
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
jobs=$(nproc)

run() {
  local dir=$1 sanitize=$2; shift 2
  echo "== ${dir} (sanitizers: ${sanitize:-none})"
  local bench=ON
  [ -z "$sanitize" ] || bench=OFF
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPEGEXPORTER_SANITIZE="$sanitize" \
    -DMPEGEXPORTER_BUILD_BENCH=$bench >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run build/release ""
run build/asan "address;undefined"
run build/tsan "thread" -L 'facade|boundary'
