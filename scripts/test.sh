#!/usr/bin/env bash
# The whole test suite: installs what it needs, then builds and runs every
# test in three configurations: plain, AddressSanitizer with
# UndefinedBehaviorSanitizer, and ThreadSanitizer (the facade and worker
# tests); then each fuzzing harness for a short while; then the plain suite
# inside Debian 13 and Debian testing trees.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh
jobs=$(nproc)

run() {
  local dir=$1 sanitize=$2 start=$SECONDS; shift 2
  echo "== ${dir} (sanitizers: ${sanitize:-none})"
  local bench=ON
  [ -z "$sanitize" ] || bench=OFF
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMPEGEXPORTER_SANITIZE="$sanitize" \
    -DMPEGEXPORTER_BUILD_BENCH=$bench >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" "$@"
  echo "== ${dir} took $((SECONDS - start)) s"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run build/release ""
# The browser check plays files; the library code it runs is covered here by
# the other tests, at a fraction of its minute.
run build/asan "address;undefined" -LE browser
run build/tsan "thread" -L 'facade|boundary'

# A bounded smoke run of each libFuzzer harness (fuzz/, clang with
# AddressSanitizer and UndefinedBehaviorSanitizer) on the seeds it writes from
# media it encodes at start-up. Anything it finds fails the suite and is left
# in the build directory.
fuzz=build/fuzz
fuzz_start=$SECONDS
echo "== ${fuzz} (libFuzzer smoke run)"
cmake -S . -B "$fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DMPEGEXPORTER_BUILD_FUZZ=ON \
  -DMPEGEXPORTER_BUILD_TESTS=OFF -DMPEGEXPORTER_BUILD_BENCH=OFF -DMPEGEXPORTER_BUILD_TOOLS=OFF >/dev/null
harnesses=(fuzz_facade fuzz_audio_chain fuzz_recovery)
cmake --build "$fuzz" -j "$jobs" --target "${harnesses[@]}"
for harness in "${harnesses[@]}"; do
  corpus="$fuzz/fuzz/corpus/$harness"
  rm -rf "$corpus"
  MPEGEXPORTER_FUZZ_SEEDS="$corpus" "$fuzz/fuzz/$harness"
  "$fuzz/fuzz/$harness" -max_total_time=20 -timeout=25 -max_len=2048 -rss_limit_mb=4096 \
    -artifact_prefix="$fuzz/fuzz/" -print_final_stats=1 "$corpus"
done
echo "== ${fuzz} took $((SECONDS - fuzz_start)) s"

# The plain suite once more in a Debian 13 tree (FFmpeg 7.1, GCC 14) and a
# Debian testing tree (FFmpeg 9.0, GCC 16), each made with debootstrap and
# cached outside the clone (scripts/debian-tree.sh).
./scripts/debian-tree.sh trixie
./scripts/debian-tree.sh forky
