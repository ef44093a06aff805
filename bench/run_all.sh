#!/usr/bin/env bash
# Builds the benchmarks and mpegexport in Release, runs the in-process
# comparisons (Google Benchmark) and the whole-process ones against the ffmpeg
# tool (hyperfine), then prints one table: each figure with its reference,
# their ratio (above 1 the library is better) and the target.
#   bench/run_all.sh [--quick]
# --quick: short inputs and few runs, to see that everything works. Build
# directory: BENCH_BUILD_DIR, default build-bench-release.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
  --quick) export BENCH_SECONDS=5 BENCH_MINUTES=1 BENCH_SILENT_MINUTES=1 BENCH_DRIFT_MINUTES=2; seconds=5 reps=3 runs=3 ;;
  "") seconds=60 reps=15 runs=10 ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

./scripts/setup.sh
build=${BENCH_BUILD_DIR:-build-bench-release}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target bench_copy bench_transcode bench_memory bench_sync bench_concurrent mpegexport >/dev/null
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Repetitions of the benchmarks interleave at random, so that a change in the
# machine's load falls on both sides alike; the table takes their medians.
gbench() {
  local program=$1 json=$2; shift 2
  echo "== $program $*"
  "$build/bench/$program" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true --benchmark_out="$out/$json.json" \
    --benchmark_out_format=json "$@"
}
gbench bench_copy copy
gbench bench_transcode transcode
# Peak memory is the process's: one process per export.
for export in LongExport/bare LongExport/facade LongExport/facade_1min SilentAudio/silent SilentAudio/steady; do
  echo "== bench_memory $export"
  "$build/bench/bench_memory" --benchmark_filter="^$export/" --benchmark_out="$out/memory-${export//\//-}.json" \
    --benchmark_out_format=json
done
# Many exports in one process; peak memory again wants a process per benchmark.
for side in bare facade; do
  for n in 1 2 4 8; do
    echo "== bench_concurrent Concurrent/$side/$n"
    "$build/bench/bench_concurrent" --benchmark_filter="^Concurrent/$side/$n/" --benchmark_repetitions="$reps" \
      --benchmark_report_aggregates_only=true --benchmark_out="$out/concurrent-$side$n.json" --benchmark_out_format=json
  done
done
for path in mulaw_mov mulaw_mp4 aac_mp4; do
  for ppm in -1000 0 1000; do
    echo "== bench_sync Drift/$path/$ppm"
    "$build/bench/bench_sync" --benchmark_filter="^Drift/$path/$ppm/" --benchmark_out="$out/drift-$path$ppm.json" \
      --benchmark_out_format=json
  done
done

# Whole processes: 1080p25 H.264 with 8 kHz mu-law copied into MOV, and H.263
# CIF transcoded to MPEG-4 in MP4 (ffmpeg with its default threads).
echo "== making ${seconds} s inputs with ffmpeg"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=$seconds" \
  -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=$seconds" \
  -c:v libx264 -preset ultrafast -g 50 -pix_fmt yuv420p -c:a pcm_mulaw "$out/h264.mov"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=cif:rate=25:duration=$seconds" \
  -c:v h263 -b:v 1M -g 50 "$out/h263.mov"
ffmpeg -nostdin -v error -f lavfi -i "testsrc2=size=1920x1080:rate=25:duration=$seconds" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=$seconds" \
  -c:v libx264 -preset ultrafast -b:v 8M -g 50 -pix_fmt yuv420p -c:a aac -b:a 128k "$out/h264-aac.mp4"
tool=$build/tools/mpegexport
# many.sh N COMMAND...: N copies of COMMAND at once, "{}" in each replaced by its number.
cat >"$out/many.sh" <<'SH'
#!/bin/sh
n=$1; shift
i=1
while [ "$i" -le "$n" ]; do
  eval "$(printf '%s ' "$@" | sed "s/{}/$i/g")" &
  i=$((i + 1))
done
wait
SH
chmod +x "$out/many.sh"
if command -v hyperfine >/dev/null; then
for n in 4 8; do
  hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/cli-many$n.json" \
    -n library "$out/many.sh $n $tool -q $out/h264-aac.mp4 $out/lib{}.mp4" \
    -n ffmpeg "$out/many.sh $n ffmpeg -nostdin -v error -y -i $out/h264-aac.mp4 -c copy $out/ff{}.mp4"
done
hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/cli-copy.json" \
  -n library "$tool -q $out/h264.mov $out/lib.mov" -n ffmpeg "ffmpeg -nostdin -v error -y -i $out/h264.mov -c copy $out/ff.mov"
hyperfine -N --warmup 1 --runs "$runs" --export-json "$out/cli-h263.json" \
  -n library "$tool -q $out/h263.mov $out/lib.mp4" -n ffmpeg "ffmpeg -nostdin -v error -y -i $out/h263.mov -c:v mpeg4 $out/ff.mp4"
else
  echo "== no hyperfine on this release: the whole-process rows are left out"
fi

echo
echo "== Summary ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ), inputs of $seconds s)"
python3 - "$out" <<'PY'
import json, pathlib, sys
out = pathlib.Path(sys.argv[1])
unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
gb, cli = {}, {}
for path in out.glob("*.json"):
    data = json.loads(path.read_text())
    for b in data.get("benchmarks", []):  # medians of repetitions, or the one run
        if b.get("error_occurred"):
            sys.exit(f"{b['name']}: {b['error_message']}")
        if b.get("aggregate_name", "median") == "median":
            name = b["run_name"].split("/manual_time")[0].split("/iterations")[0]
            gb[name] = dict(b, seconds=b["real_time"] * unit[b["time_unit"]])
    for r in data.get("results", []):
        cli[(path.stem, r["command"])] = r["median"]
        cli[(path.stem, r["command"], "cpu")] = r["user"] + r["system"]  # means, children included

def ms(s): return f"{s * 1e3:.1f} ms"
rows = []
def row(path, figure, library, reference, ratio, target, met):
    rows.append((path, figure, library, reference, "-" if ratio is None else f"{ratio:.3f}", target,
                 "-" if met is None else "met" if met else "NOT MET"))
def timed(path, library, reference, what, target=1.0):
    lib, ref = gb[library]["seconds"], gb[reference]["seconds"]
    row(path, "time", ms(lib), f"{ms(ref)} ({what})", ref / lib, f">= {target}", ref / lib >= target)

for path, kind in (("copy, video only", "video"), ("copy, video + ADTS AAC", "av")):
    timed(path, f"Copy/facade_{kind}", f"Copy/bare_{kind}", "bare loop", 0.95)
    lib, ref = gb[f"Copy/facade_{kind}"]["cpu_ms"], gb[f"Copy/bare_{kind}"]["cpu_ms"]
    row(path, "CPU, all threads", f"{lib:.1f} ms", f"{ref:.1f} ms (bare loop)", ref / lib, ">= 0.95", ref / lib >= 0.95)
for kind, call in (("video", "AddPacketsVideo"), ("av", "AddPacketsAudioVideo")):
    b = gb[f"AddLatency/{kind}"]
    row(f"add call, {call}", f"p99 while the worker runs (p50 {b['p50_us']:.2f}, thread start {b['first_us']:.0f} us)",
        f"{b['p99_us']:.2f} us", "-", None, "< 10 us", b["p99_us"] < 10)
timed("mu-law -> AAC", "Facade/mulaw_aac", "Reference/mulaw_aac", "libavcodec loop, 1 thread")
timed("H.263 -> MPEG-4, CIF", "Facade/h263_mpeg4", "Reference/h263_mpeg4", "libavcodec loop, 1 thread")
for stem, path, what in (("cli-h263", "H.263 -> MPEG-4, CIF, process", "ffmpeg -c:v mpeg4"),
                         ("cli-copy", "copy 1080p H.264 + mu-law into MOV, process", "ffmpeg -c copy")):
    if (stem, "library") not in cli:
        continue
    lib, ref = cli[(stem, "library")], cli[(stem, "ffmpeg")]
    row(path, "mpegexport time", ms(lib), f"{ms(ref)} ({what})", ref / lib, ">= 1.0", ref / lib >= 1.0)
for n in (4, 8):
    stem = f"cli-many{n}"
    if (stem, "library") not in cli:
        continue
    path = f"{n} copies at once, 1080p H.264 + AAC into MP4, processes"
    lib, ref = cli[(stem, "library")], cli[(stem, "ffmpeg")]
    row(path, "wall time", ms(lib), f"{ms(ref)} (as many ffmpeg -c copy)", ref / lib, ">= 1.0", ref / lib >= 1.0)
    lib, ref = cli[(stem, "library", "cpu")], cli[(stem, "ffmpeg", "cpu")]
    row(path, "CPU, all processes", ms(lib), f"{ms(ref)} (as many ffmpeg -c copy)", ref / lib, ">= 1.0", ref / lib >= 1.0)
for n in (1, 2, 4, 8):
    lib, ref = gb[f"Concurrent/facade/{n}"], gb[f"Concurrent/bare/{n}"]
    path = f"{n} exports in one process, copy, video + ADTS AAC"
    row(path, "input seconds written a second, all exports", f"{lib['input_x']:.0f}",
        f"{ref['input_x']:.0f} (bare loops in threads)", lib["input_x"] / ref["input_x"], ">= 0.95",
        lib["input_x"] / ref["input_x"] >= 0.95)
    row(path, "CPU per export", f"{lib['cpu_ms']:.1f} ms", f"{ref['cpu_ms']:.1f} ms (bare loops in threads)",
        ref["cpu_ms"] / lib["cpu_ms"], "-", None)
    row(path, "peak memory per export (its input included)", f"{lib['mb_each']:.1f} MB",
        f"{ref['mb_each']:.1f} MB (bare loops in threads)", None, "<= +4 MB", lib["mb_each"] - ref["mb_each"] <= 4)
# One more file: eight 1 s files against one 8 s file of the same packets.
lib, ref = ((gb[f"SplitFiles/{side}_8"]["seconds"] - gb[f"SplitFiles/{side}_1"]["seconds"]) / 7
            for side in ("facade", "bare"))
row("split export, 1 s files", "time a file adds (video + audio)", f"{lib * 1e3:.2f} ms",
    f"{ref * 1e3:.2f} ms (bare loop)", None,
    "<= +0.2 ms", lib - ref <= 0.2e-3)
lib, ref = gb["LongExport/facade"]["peak_mb"], gb["LongExport/bare"]["peak_mb"]
row("long export, video + audio", "peak memory (VmHWM)", f"{lib:.1f} MB", f"{ref:.1f} MB (bare loop)", ref / lib,
    "<= +4 MB", lib - ref <= 4)
long, short = gb["LongExport/facade"]["cpu_s_per_min"], gb["LongExport/facade_1min"]["cpu_s_per_min"]
row("long export, video + audio", "process CPU a minute of input", f"{long * 1e3:.1f} ms",
    f"{short * 1e3:.1f} ms (1 min export)", short / long, "<= +10 %", long <= 1.1 * short)
lib, ref = gb["SilentAudio/silent"]["peak_mb"], gb["SilentAudio/steady"]["peak_mb"]
row("audio lists empty after 1 s, 8 Mbit/s video", "peak memory (VmHWM)", f"{lib:.1f} MB",
    f"{ref:.1f} MB (audio throughout)", None, "<= +64 MB", lib - ref <= 64)
for path, what in (("mulaw_mov", "mu-law copied into MOV"), ("mulaw_mp4", "mu-law -> AAC in MP4"),
                   ("aac_mp4", "ADTS AAC copied into MP4")):
    still = gb[f"Drift/{path}/0"]
    for ppm in ("-1000", "1000"):
        b = gb[f"Drift/{path}/{ppm}"]
        worst = max(b["start_ms"], b["end_ms"])
        row(f"audio {ppm} ppm, {what}", "offset at start / end (worse way)", f"{b['start_ms']:.1f} / {b['end_ms']:.1f} ms",
            f"{still['start_ms']:.1f} / {still['end_ms']:.1f} ms (0 ppm)", None, "<= 45 ms", worst <= 45)
        row(f"audio {ppm} ppm, {what}", "process CPU / peak memory added", f"{b['cpu_s']:.2f} s / {b['peak_mb']:.1f} MB",
            f"{still['cpu_s']:.2f} s / {still['peak_mb']:.1f} MB (0 ppm)", still["cpu_s"] / b["cpu_s"],
            "<= +10 % / +4 MB", b["cpu_s"] <= 1.1 * still["cpu_s"] and b["peak_mb"] <= still["peak_mb"] + 4)

header = ("path", "figure", "library", "reference", "ratio", "target", "verdict")
widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
for r in [header] + rows:
    print("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip())
PY
