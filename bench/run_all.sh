#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs every one of them: the copy paths
# and the host's add calls, the transcoding paths against the ffmpeg tool,
# memory and scaling of long exports. Prints each program's report, then one
# table of every figure with its reference, ratio and target.
#
#   bench/run_all.sh [--quick]
#
# --quick: short inputs and few runs, to see that everything works (half a
# minute; the figures are not worth comparing). BENCH_BUILD_DIR picks the
# build directory (default build-bench-release). Results vary with the load
# of the machine: run it on an otherwise idle one.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

./scripts/setup.sh # the ffmpeg tool is the transcoding reference
build=${BENCH_BUILD_DIR:-build-bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DMPEGEXPORTER_BUILD_TESTS=OFF \
  -DMPEGEXPORTER_BUILD_TOOLS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_copy_export bench_transcode bench_memory >/dev/null

if [ "$quick" = 1 ]; then
  copy=(--seconds=10 --runs=3)
  transcode=(--seconds=5 --runs=1)
  memory=(--minutes=0.25,1 --runs=1)
else
  copy=(--seconds=60 --runs=31)
  transcode=(--seconds=60 --runs=9)
  memory=(--minutes=1,10,60 --runs=3)
fi

results=$(mktemp)
trap 'rm -f "$results"' EXIT
failed=0
run() {
  local program=$1; shift
  echo "== $program $*"
  # Table rows start with "@ "; the rest is the program's own report.
  if ! "$build/bench/$program" "$@" | tee -a "$results" | grep -v '^@ '; then
    echo "!! $program failed" >&2
    failed=1
  fi
  echo
}
run bench_copy_export "${copy[@]}"
run bench_transcode "${transcode[@]}"
run bench_memory "${memory[@]}"

echo "== Summary ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ))"
{
  printf 'path\tfigure\tlibrary\treference\tratio\ttarget\tverdict\n'
  grep '^@ ' "$results" | cut -c3-
} | column -t -s $'\t'
exit "$failed"
